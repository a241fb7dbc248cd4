// The HTTP client against the platform server stand-in on loopback: status handling of
// both GETs, transfer failures, port and credential options, the other methods, the
// asynchronous POST and answer parsing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base64.h"
#include "core/exception.h"
#include "core/json.h"
#include "server.h"
#include "support/platform_server.h"
#include "support/redis_server.h"

namespace {

using vyr::libs::core::exception;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string s_groups = R"({"groups":[{"uid":"g1","project_uid":"p1","name":"One"}]})";

struct client_fixture : ::testing::Test {
    vyr::libs::core::logger logger{"rtls-quorvane", "test"};

    std::unique_ptr<vyr::c_server> client(const std::string& _address, std::uint32_t _port = 0,
                                          const std::string& _login = "", const std::string& _password = "") {
        return std::make_unique<vyr::c_server>("rtls-quorvane", "http", _address, _login, _password, _port, logger);
    }

    // The message of the program's exception thrown by _call; fails the test otherwise.
    template <class Call>
    static std::string thrown_message(Call _call) {
        try {
            _call();
        } catch (const exception& e) {
            return e.message();
        }
        ADD_FAILURE() << "no exception";
        return {};
    }
};

curl_slist* project_header(const std::string& _project) {
    return curl_slist_append(nullptr, ("X-User-Project: " + _project).c_str());
}

// ---- GET status handling -----------------------------------------------------------

TEST_F(client_fixture, get_returns_the_body_of_a_200_answer_and_sends_the_caller_headers) {
    test::platform_server server;
    server.write("groups.json", s_groups);
    auto c = client(server.address());

    // A project header makes the stand-in filter, and so write the answer anew.
    const auto body = c->curl_get_request("/api/private/groups/", project_header("p1")).str();
    EXPECT_EQ(vyr::libs::core::json::try_parse(body).result, vyr::libs::core::json::try_parse(s_groups).result);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["method"].asString(), "GET");
    EXPECT_EQ(requests[0]["headers"]["X-User-Project"].asString(), "p1");
    EXPECT_EQ(requests[0]["headers"]["User-Agent"].asString(), "rtls-quorvane");
}

TEST_F(client_fixture, get_throws_on_every_status_but_200) {
    test::platform_server server({"--fail", "/api/private/groups/=204", "--fail", "/api/private/zones/=401"});
    auto c = client(server.address());

    EXPECT_EQ(thrown_message([&] { c->curl_get_request("/api/private/groups/", nullptr); }),
              "curl_get_request: request \"" + server.address() + "/api/private/groups/\" returns code 204");
    EXPECT_EQ(thrown_message([&] { c->curl_get_request("/api/private/zones/", nullptr); }),
              "curl_get_request: request \"" + server.address() + "/api/private/zones/\" returns code 401");
    // No file: the stand-in answers 404.
    EXPECT_THAT(thrown_message([&] { c->curl_get_request("/api/private/sublocations/", nullptr); }),
                HasSubstr("returns code 404"));
}

TEST_F(client_fixture, try_get_returns_false_on_404_and_401_and_throws_on_500) {
    test::platform_server server({"--fail", "/api/private/wsc/driver_licenses/=401", "--fail",
                                  "/api/private/wsc/vehicle_certifications/=500"});
    server.write("groups.json", s_groups);
    auto c = client(server.address());

    std::stringstream answer;
    EXPECT_TRUE(c->try_curl_get_request("/api/private/groups/", answer, nullptr));
    EXPECT_EQ(answer.str(), s_groups);

    std::stringstream not_found;
    EXPECT_FALSE(c->try_curl_get_request("/api/private/zones/", not_found, project_header("p1")));
    EXPECT_THAT(not_found.str(), HasSubstr("Not found"));  // the body that came is kept

    std::stringstream unauthorised;
    EXPECT_FALSE(c->try_curl_get_request("/api/private/wsc/driver_licenses/", unauthorised, nullptr));

    std::stringstream failed;
    EXPECT_EQ(thrown_message([&] { c->try_curl_get_request("/api/private/wsc/vehicle_certifications/", failed, nullptr); }),
              "try_curl_get_request: request \"" + server.address() +
                  "/api/private/wsc/vehicle_certifications/\" returns code 500");
}

// ---- transfer failures ---------------------------------------------------------------

TEST_F(client_fixture, unreachable_server_names_the_curl_error_and_the_url) {
    const std::string address = "http://127.0.0.1:" + std::to_string(test::free_port());
    auto c = client(address);

    const std::string get = thrown_message([&] { c->curl_get_request("/api/private/groups/", project_header("p")); });
    EXPECT_THAT(get, StartsWith("curl_easy_perform failed: "));
    EXPECT_THAT(get, HasSubstr(curl_easy_strerror(CURLE_COULDNT_CONNECT)));
    EXPECT_THAT(get, ::testing::EndsWith(" URL=" + address + "/api/private/groups/"));

    std::stringstream answer;
    EXPECT_THAT(thrown_message([&] { c->try_curl_get_request("/x", answer, nullptr); }),
                StartsWith("curl_easy_perform failed: "));
    EXPECT_THAT(thrown_message([&] { c->curl_post_request("/x", "{}"); }),
                StartsWith("curl_post_request: curl_easy_perform failed: "));
    EXPECT_THAT(thrown_message([&] { c->curl_put_request("/x", "{}"); }),
                StartsWith("curl_put_request: curl_easy_perform failed: "));
    EXPECT_THAT(thrown_message([&] { c->curl_del_request("/x"); }),
                ::testing::AllOf(StartsWith("curl_del_request: curl_easy_perform failed: "),
                                 ::testing::EndsWith(" URL=" + address + "/x")));
}

TEST_F(client_fixture, server_that_never_answers_ends_in_a_timeout_error) {
    test::platform_server server({"--hang", "/api/private/groups/"});
    auto c = client(server.address());
    EXPECT_THAT(thrown_message([&] { c->curl_get_request("/api/private/groups/", nullptr); }),
                ::testing::AllOf(StartsWith("curl_easy_perform failed: "),
                                 HasSubstr(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT))));
}

// ---- options -------------------------------------------------------------------------

TEST_F(client_fixture, nonzero_port_overrides_the_url_port_and_zero_keeps_it) {
    test::platform_server server;
    server.write("groups.json", s_groups);
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::free_port());

    EXPECT_EQ(client(server.address(), 0)->curl_get_request("/api/private/groups/", nullptr).str(), s_groups);
    EXPECT_EQ(client(dead, server.port())->curl_get_request("/api/private/groups/", nullptr).str(), s_groups);
    EXPECT_THAT(thrown_message([&] {
                    client(server.address(), test::free_port())->curl_get_request("/api/private/groups/", nullptr);
                }),
                StartsWith("curl_easy_perform failed: "));
}

TEST_F(client_fixture, address_without_scheme_uses_the_configured_protocol) {
    test::platform_server server;
    server.write("groups.json", s_groups);
    EXPECT_EQ(client("127.0.0.1:" + std::to_string(server.port()))->curl_get_request("/api/private/groups/", nullptr).str(),
              s_groups);
}

TEST_F(client_fixture, credentials_are_sent_only_when_login_and_password_are_both_set) {
    test::platform_server server;
    server.write("groups.json", s_groups);

    client(server.address(), 0, "user", "secret")->curl_get_request("/api/private/groups/", nullptr);
    client(server.address(), 0, "user", "")->curl_get_request("/api/private/groups/", nullptr);
    client(server.address(), 0, "", "secret")->curl_get_request("/api/private/groups/", nullptr);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string pair = "user:secret";
    EXPECT_EQ(requests[0]["headers"]["Authorization"].asString(),
              "Basic " + base64_encode(reinterpret_cast<const unsigned char*>(pair.data()), pair.size()));
    EXPECT_FALSE(requests[1]["headers"].isMember("Authorization"));
    EXPECT_FALSE(requests[2]["headers"].isMember("Authorization"));
}

// ---- other methods ---------------------------------------------------------------------

TEST_F(client_fixture, post_put_and_delete_send_their_method_and_body_and_check_the_status) {
    test::platform_server server;  // answers 405 to anything but GET
    auto c = client(server.address());
    const std::string url = server.address() + "/api/private/groups/";

    EXPECT_EQ(thrown_message([&] { c->curl_post_request("/api/private/groups/", R"({"a":1})"); }),
              "curl_post_request: request \"" + url + "\" returns code 405");
    EXPECT_EQ(thrown_message([&] { c->curl_put_request("/api/private/groups/", R"({"b":2})"); }),
              "curl_put_request: request \"" + url + "\" returns code 405");
    EXPECT_EQ(thrown_message([&] { c->curl_del_request("/api/private/groups/"); }),
              "curl_del_request: request \"" + url + "\" returns code 405");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0]["method"].asString(), "POST");
    EXPECT_EQ(requests[0]["body"].asString(), R"({"a":1})");
    EXPECT_EQ(requests[0]["headers"]["Content-Type"].asString(), "application/json");
    EXPECT_EQ(requests[1]["method"].asString(), "PUT");
    EXPECT_EQ(requests[1]["body"].asString(), R"({"b":2})");
    EXPECT_EQ(requests[1]["headers"]["Content-Type"].asString(), "application/json");
    EXPECT_EQ(requests[2]["method"].asString(), "DELETE");
    EXPECT_FALSE(requests[2].isMember("body"));
}

// Exposes the tracked futures of the asynchronous POST.
struct async_client : vyr::c_server {
    using vyr::c_server::c_server;
    std::list<std::future<bool>>& tracked() { return futures; }
};

TEST_F(client_fixture, async_post_reports_failure_in_its_future_and_finished_ones_are_cleared) {
    test::platform_server server;
    async_client c("rtls-quorvane", "http", server.address(), "", "", 0, logger);

    c.curl_post_request_async("/api/private/groups/", R"({"n":1})");
    c.curl_post_request_async("/api/private/zones/", R"({"n":2})");
    ASSERT_EQ(c.tracked().size(), 2u);
    for (auto& f : c.tracked())
        f.wait();
    for (auto& f : c.tracked()) {
        auto copy = std::move(f);
        EXPECT_FALSE(copy.get());  // 405 is a failure
        f = std::async(std::launch::deferred, [] { return true; });
    }
    // Deferred futures never become ready by waiting zero time: they stay.
    c.clear_futures();
    EXPECT_EQ(c.tracked().size(), 2u);
    c.tracked().clear();

    c.curl_post_request_async("/x", "{}");
    c.tracked().front().wait();
    c.clear_futures();
    EXPECT_TRUE(c.tracked().empty());
    EXPECT_EQ(server.requests().size(), 3u);
}

// ---- answer parsing ------------------------------------------------------------------

TEST_F(client_fixture, parse_answer_names_the_caller_in_its_error) {
    auto c = client("http://127.0.0.1:1");
    Json::Value value;
    std::stringstream empty;
    EXPECT_THAT(thrown_message([&] { c->parse_answer("get_groups", empty, value); }),
                StartsWith("get_groups: parseFromStream "));
    std::stringstream corrupted(R"({"groups": [ {"uid": "g1", )");
    EXPECT_THAT(thrown_message([&] { c->parse_answer("get_zones", corrupted, value); }),
                StartsWith("get_zones: parseFromStream "));

    std::stringstream good(R"({"groups": [], // a comment
                               "n": 2})");
    c->parse_answer("get_groups", good, value);
    EXPECT_EQ(value["n"].asInt(), 2);
}

}  // namespace
