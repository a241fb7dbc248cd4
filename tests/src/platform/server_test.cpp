// The HTTP client against the platform server stand-in on loopback: status handling of
// the GET, transfer failures, port and credential options, the other methods and the
// asynchronous POST.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
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

    test::platform_server hanging({"--hang", s_groups_path});
    EXPECT_THAT(thrown_message([&] { client(hanging.address())->curl_get_request(s_groups_path, nullptr); }),
                ::testing::AllOf(StartsWith("curl_easy_perform failed: "), HasSubstr(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT))));
}

// The peak resident size of this process so far, in KiB.
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Regression: a body of any size was taken whole, and redirects were followed without
// limit, to any scheme.
TEST_F(client_fixture, an_oversized_answer_a_redirect_loop_and_a_redirect_off_http_are_refused) {
    test::platform_server server;
    server.write("control.json", R"({"huge": {"/big": 104857600},
                                     "redirect": {"/loop": "/loop", "/file": "file:///etc/hostname"}})");
    auto c = client(server.address());
    const long before = peak_rss_kib();
    for (const auto& [path, reason] : {std::pair{"/big", "(answer larger than 33554432 bytes refused)"},
                                       {"/loop", curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS)},
                                       {"/file", curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL)}})
        EXPECT_THAT(thrown_message([&] { c->curl_get_request(path, nullptr); }), HasSubstr(reason)) << path;
    EXPECT_LT(peak_rss_kib() - before, 96 * 1024);  // the 100 MiB were never held
    int loops = 0;
    for (const auto& r : server.requests())
        loops += r["path"].asString() == "/loop";
    EXPECT_LE(loops, 6);
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

}  // namespace
