// The stand-in program (quorvane-platform-server) as the tests run it: it must end with
// status 0 on SIGTERM, also right after serving requests, because every test that uses
// it stops it that way. Under ThreadSanitizer a race in the stop path ends it with the
// sanitizer's status instead.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>

#include "support/process.h"

namespace {

// Sends one GET (or POST with `_post`) to the stand-in and returns the HTTP status.
long request(int _port, const std::string& _path, bool _post) {
    CURL* handle = curl_easy_init();
    const std::string url = "http://127.0.0.1:" + std::to_string(_port) + _path;
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, +[](char*, size_t _size, size_t _count, void*) {
        return _size * _count;
    });
    if (_post)
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "{}");
    long status = 0;
    if (curl_easy_perform(handle) == CURLE_OK)
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(handle);
    return status;
}

// Regression: the thread that took the signal called stop() while main() went on to
// destroy the server after run() returned, so stop() could run on a destroyed server.
TEST(platform_server_program, sigterm_right_after_requests_ends_it_with_status_zero_stop_thread_outlived_server) {
    for (int round = 0; round < 5; ++round) {
        test::temp_dir dir;
        const std::string project = dir.file("project");
        std::filesystem::create_directory(project);
        test::process::options options;
        options.stdout_path = dir.file("stdout");
        options.stderr_path = dir.file("stderr");
        test::process server(test::binary("quorvane-platform-server"), {"--port", "0", "--project", project, "--quiet"},
                             options);
        ASSERT_TRUE(test::wait_until([&] { return test::read_file(dir.file("stdout")).find('\n') != std::string::npos; },
                                     std::chrono::seconds(20)))
            << test::read_file(dir.file("stderr"));
        const int port = std::stoi(test::read_file(dir.file("stdout")));
        EXPECT_EQ(std::make_pair(request(port, "/api/private/groups/", false), request(port, "/api/private/groups/", true)),
                  std::make_pair(404L, 405L));

        ASSERT_TRUE(server.signal(SIGTERM));
        const auto status = server.wait(std::chrono::seconds(20));
        ASSERT_TRUE(status.has_value()) << "the stand-in did not stop";
        EXPECT_TRUE(status->exited && status->code == 0)
            << "signal " << status->signal << ", code " << status->code << ": " << test::read_file(dir.file("stderr"));
    }
}

}  // namespace
