// The debug console program as an operator runs it: started at the endpoint that the
// service's system.debug_port names, it prints each record the service's logger sends
// there on a line of its own, and ends with status 0 after --count records or on SIGTERM;
// a wrong command line ends it with 2, an endpoint it cannot bind with 1.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace {

const auto s_timeout = std::chrono::seconds(20);

class DebugConsole : public ::testing::Test {
protected:
    std::unique_ptr<test::process> start(const std::vector<std::string>& _args) {
        return std::make_unique<test::process>(test::binary("quorvane-debug-console"), _args,
                                               test::process::options{m_files.file("out"), m_files.file("err"), {}});
    }
    std::string out() const { return test::read_file(m_files.file("out")); }

    // Logs a record at a time, as the service would, until `_done` holds: those logged
    // before the console's socket is up are dropped, as the service's are.
    bool log_until(const std::function<bool()>& _done) {
        m_logger.connect(m_endpoint);
        return test::wait_until([&] {
            m_logger.info("record %1%") % ++m_logged;
            return _done();
        }, s_timeout);
    }

    test::temp_dir m_files;
    const std::string m_endpoint = "tcp://127.0.0.1:" + std::to_string(test::free_port());
    vyr::libs::core::logger m_logger{"rtls-quorvane", "main"};
    int m_logged = 0;
};

TEST_F(DebugConsole, prints_each_record_on_a_line_of_its_own_and_ends_after_count_records) {
    auto console = start({"--count", "3", m_endpoint});
    ASSERT_TRUE(log_until([&] { return !console->running(); })) << "still running after " << m_logged << " records";
    const auto status = console->wait(s_timeout);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 0) << status->code << " " << status->signal;
    const std::string line = R"(&rtls-quorvane:main \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} record \d+\n)";
    const std::string text = out();
    EXPECT_TRUE(std::regex_match(text, std::regex("(" + line + "){3}"))) << text;
}

TEST_F(DebugConsole, ends_with_0_on_sigterm_and_refuses_wrong_command_lines_and_a_taken_endpoint) {
    auto console = start({m_endpoint});
    ASSERT_TRUE(log_until([&] { return out().find('\n') != std::string::npos; })) << test::read_file(m_files.file("err"));

    const std::pair<std::vector<std::string>, int> refused[] = {
        {{}, 2}, {{"--count", "0", m_endpoint}, 2}, {{"--count", "x", m_endpoint}, 2}, {{"--count"}, 2},
        {{m_endpoint, "extra"}, 2}, {{"not-an-endpoint"}, 1}, {{m_endpoint}, 1}};  // the last: bound already
    for (const auto& [args, code] : refused) {
        const auto status = start(args)->wait(s_timeout);
        ASSERT_TRUE(status) << ::testing::PrintToString(args);
        EXPECT_TRUE(status->exited && status->code == code) << ::testing::PrintToString(args) << " " << status->code;
    }

    ASSERT_TRUE(console->signal(SIGTERM));
    const auto status = console->wait(s_timeout);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 0) << status->code << " " << status->signal;
}

}  // namespace
