// The HTTP client against the platform server stand-in on loopback: status handling of
// the GET, transfer failures, port and credential options, the other methods and the
// asynchronous POST.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "common/base64.h"
#include "core/exception.h"
#include "core/json.h"
#include "platform/server.h"
#include "support/checks.h"
#include "support/platform_server.h"
#include "support/redis_server.h"

namespace {

using test::thrown_message;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string s_groups = R"({"groups":[{"uid":"g1","project_uid":"p1","name":"One"}]})";
const std::string s_groups_path = "/api/private/groups/";

struct client_fixture : ::testing::Test {
    vyr::libs::core::logger logger{"rtls-quorvane", "test"};

    std::unique_ptr<vyr::c_server> client(const std::string& _address, std::uint32_t _port = 0,
                                          const std::string& _login = "", const std::string& _password = "") {
        return std::make_unique<vyr::c_server>("rtls-quorvane", "http", _address, _login, _password, _port, logger);
    }
    static std::string dead_address() { return "http://127.0.0.1:" + std::to_string(test::free_port()); }
};

curl_slist* project_header(const std::string& _project) {
    return curl_slist_append(nullptr, ("X-User-Project: " + _project).c_str());
}

TEST_F(client_fixture, get_returns_the_body_of_a_200_answer_and_throws_on_every_other_status) {
    test::platform_server server({"--fail", "/api/private/zones/=204", "--fail", "/api/private/sublocations/=401"});
    server.write("groups.json", s_groups);
    auto c = client(server.address());
    // A project header makes the stand-in filter, and so write the answer anew.
    const auto body = c->curl_get_request(s_groups_path, project_header("p1")).str();
    EXPECT_EQ(vyr::libs::core::json::try_parse(body).result, vyr::libs::core::json::try_parse(s_groups).result);
    const auto request = server.requests().at(0);
    EXPECT_EQ(std::make_tuple(request["method"].asString(), request["headers"]["X-User-Project"].asString(),
                              request["headers"]["User-Agent"].asString()),
              std::make_tuple("GET", "p1", "rtls-quorvane"));

    for (const std::string status : {"204", "401", "404"}) {  // no file: the stand-in answers 404
        const std::string path = status == "204" ? "/api/private/zones/" : status == "401" ? "/api/private/sublocations/" : "/x/";
        EXPECT_EQ(thrown_message([&] { c->curl_get_request(path, nullptr); }),
                  "curl_get_request: request \"" + server.address() + path + "\" returns code " + status);
    }
}

// What try_curl_get_request's statuses mean to the getters (404 and 401 nothing, 500 a
// failure) is pinned by the platform API tests.
TEST_F(client_fixture, transfer_failures_name_the_curl_error_and_the_url) {
    const std::string address = dead_address();
    auto c = client(address);
    EXPECT_THAT(thrown_message([&] { c->curl_get_request(s_groups_path, project_header("p")); }),
                ::testing::AllOf(StartsWith("curl_easy_perform failed: "), HasSubstr(curl_easy_strerror(CURLE_COULDNT_CONNECT)),
                                 EndsWith(" URL=" + address + s_groups_path)));
    std::stringstream answer;
    EXPECT_THAT(thrown_message([&] { c->try_curl_get_request("/x", answer, nullptr); }),
                StartsWith("curl_easy_perform failed: "));
    EXPECT_THAT(thrown_message([&] { c->curl_del_request("/x"); }),
                ::testing::AllOf(StartsWith("curl_del_request: curl_easy_perform failed: "), EndsWith(" URL=" + address + "/x")));

    test::platform_server hanging({"--hang", s_groups_path});
    EXPECT_THAT(thrown_message([&] { client(hanging.address())->curl_get_request(s_groups_path, nullptr); }),
                ::testing::AllOf(StartsWith("curl_easy_perform failed: "), HasSubstr(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT))));
}

TEST_F(client_fixture, port_and_credential_options) {
    test::platform_server server;
    server.write("groups.json", s_groups);
    const auto get = [&](const std::string& _address, std::uint32_t _port) {
        return client(_address, _port)->curl_get_request(s_groups_path, nullptr).str();
    };
    // Port 0 keeps the URL's port, any other replaces it; no scheme: the configured protocol.
    EXPECT_EQ(std::make_tuple(get(server.address(), 0), get(dead_address(), server.port()),
                              get("127.0.0.1:" + std::to_string(server.port()), 0)),
              std::make_tuple(s_groups, s_groups, s_groups));
    EXPECT_THAT(thrown_message([&] { get(server.address(), test::free_port()); }), StartsWith("curl_easy_perform failed: "));

    // Credentials only when login and password are both set.
    const std::size_t before = server.requests().size();
    client(server.address(), 0, "user", "secret")->curl_get_request(s_groups_path, nullptr);
    client(server.address(), 0, "user", "")->curl_get_request(s_groups_path, nullptr);
    client(server.address(), 0, "", "secret")->curl_get_request(s_groups_path, nullptr);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), before + 3);
    const std::string pair = "user:secret";
    EXPECT_EQ(requests[before]["headers"]["Authorization"].asString(),
              "Basic " + base64_encode(reinterpret_cast<const unsigned char*>(pair.data()), pair.size()));
    EXPECT_FALSE(requests[before + 1]["headers"].isMember("Authorization") ||
                 requests[before + 2]["headers"].isMember("Authorization"));
}

TEST_F(client_fixture, post_put_and_delete_send_their_method_and_body_and_check_the_status) {
    test::platform_server server;  // answers 405 to anything but GET
    auto c = client(server.address());
    const struct {
        std::function<void()> call;
        const char* name;
        const char* method;
        const char* body;  // none for DELETE
    } cases[] = {{[&] { c->curl_post_request(s_groups_path, R"({"a":1})"); }, "curl_post_request", "POST", R"({"a":1})"},
                 {[&] { c->curl_put_request(s_groups_path, R"({"b":2})"); }, "curl_put_request", "PUT", R"({"b":2})"},
                 {[&] { c->curl_del_request(s_groups_path); }, "curl_del_request", "DELETE", nullptr}};
    for (const auto& k : cases) {
        EXPECT_EQ(thrown_message(k.call), std::string(k.name) + ": request \"" + server.address() + s_groups_path +
                                              "\" returns code 405");
        const auto request = server.requests().back();
        EXPECT_EQ(std::make_tuple(request["method"].asString(), request.isMember("body")),
                  std::make_tuple(k.method, k.body != nullptr));
        if (k.body) {
            EXPECT_EQ(std::make_tuple(request["body"].asString(), request["headers"]["Content-Type"].asString()),
                      std::make_tuple(k.body, "application/json"));
        }
    }
}

// Exposes the tracked futures of the asynchronous POST.
struct async_client : vyr::c_server {
    using vyr::c_server::c_server;
    std::list<std::future<bool>>& tracked() { return futures; }
};

TEST_F(client_fixture, async_post_reports_failure_in_its_future_and_only_finished_ones_are_cleared) {
    test::platform_server server;
    async_client c("rtls-quorvane", "http", server.address(), "", "", 0, logger);
    c.curl_post_request_async(s_groups_path, R"({"n":1})");
    c.curl_post_request_async("/api/private/zones/", R"({"n":2})");
    ASSERT_EQ(c.tracked().size(), 2u);
    for (auto& f : c.tracked()) {
        EXPECT_FALSE(f.get());  // 405 is a failure
        f = std::async(std::launch::deferred, [] { return true; });
    }
    c.clear_futures();  // deferred futures never become ready by waiting zero time: they stay
    EXPECT_EQ(c.tracked().size(), 2u);
    c.tracked().clear();
    c.curl_post_request_async("/x", "{}");
    c.tracked().front().wait();
    c.clear_futures();
    EXPECT_TRUE(c.tracked().empty());
    EXPECT_EQ(server.requests().size(), 3u);
}

}  // namespace
