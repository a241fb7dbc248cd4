// The -c option and the pid file that keeps a second instance from starting.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/get_config_file_name.h"
#include "core/pid_file.h"
#include "support/checks.h"
#include "support/process.h"

using test::thrown_message;
using vyr::libs::core::get_config_file_name;
using vyr::libs::core::detail::check_pid;
using vyr::libs::core::detail::write_pid;

namespace {

using args_t = std::vector<std::string>;

// getopt may reorder argv, so every call gets fresh, writable copies.
std::string parse(args_t _args) {
    std::vector<char*> argv;
    for (auto& text : _args)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    return get_config_file_name(static_cast<int>(_args.size()), argv.data());
}

// A pid that named a process a moment ago and names none now.
pid_t finished_pid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

}  // namespace

TEST(ConfigFileName, last_c_wins_and_other_arguments_are_ignored) {
    // Run one after another: getopt keeps its position between calls, each scan must start over.
    const std::pair<args_t, std::string> cases[] = {
        {{"prog", "-c", "a.json"}, "a.json"}, {{"prog", "-ca.json"}, "a.json"},
        {{"prog", "-c", "a.json", "-c", "b.json"}, "b.json"}, {{"prog", "extra", "-c", "a.json", "more"}, "a.json"},
        {{"prog", "x", "-c", "third.json"}, "third.json"}};
    for (const auto& [args, expected] : cases)
        EXPECT_EQ(parse(args), expected) << ::testing::PrintToString(args);
}

TEST(ConfigFileName, usage_texts) {
    const std::string not_defined = "The configuration file is not defined! Usage: prog -c config_file";
    const std::string usage = "Usage: prog -c config_file";
    const std::pair<args_t, std::string> cases[] = {
        {{"prog"}, not_defined},        {{"prog", "-c", ""}, not_defined},
        {{"prog", "a.json"}, not_defined}, {{"prog", "-x"}, usage},
        {{"prog", "-c", "a.json", "-x"}, usage}, {{"prog", "-c"}, usage},
    };
    for (const auto& [args, expected] : cases)
        EXPECT_EQ(thrown_message([&arguments = args] { parse(arguments); }), expected) << ::testing::PrintToString(args);
    char* no_arguments[] = {nullptr};  // not even the program name
    EXPECT_EQ(thrown_message([&] { get_config_file_name(0, no_arguments); }),
              "The configuration file is not defined! Usage: rtls-quorvane -c config_file");
}

class PidFile : public ::testing::Test {
protected:
    test::temp_dir dir;
    std::string path = dir.file("rtls-quorvane.pid");
};

TEST_F(PidFile, live_or_own_pid_refuses_start_and_keeps_the_file) {
    test::process sleeper("/bin/sleep", {"30"});
    for (const std::string& content : {std::to_string(sleeper.pid()), std::to_string(::getpid())}) {
        test::write_file(path, content);
        EXPECT_EQ(thrown_message([&] { check_pid(path); }), "Process is running");
        EXPECT_EQ(test::read_file(path), content);
    }
}

TEST_F(PidFile, missing_stale_or_garbage_file_lets_start_go_on_and_is_overwritten) {
    EXPECT_NO_THROW(check_pid(path));
    EXPECT_FALSE(test::file_exists(path));
    // kill(-1, 0) and kill(-pgid, 0) succeed, but no negative number names an instance.
    for (const std::string& content :
         {std::to_string(finished_pid()), std::string(), std::string("0"), std::string("abc123"), std::string("\n\n"),
          std::string("99999999999999999999999"), std::string("2147483647"), std::string("-1"),
          "-" + std::to_string(::getpgrp()), std::string("999999999\nold content that is longer")}) {
        test::write_file(path, content);
        EXPECT_NO_THROW(check_pid(path)) << "content: " << content;
        write_pid(path);
        EXPECT_EQ(test::read_file(path), std::to_string(::getpid()));  // no newline, nothing old left
    }
    // A folder in place of the file cannot be read as a number.
    std::remove(path.c_str());
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_NO_THROW(check_pid(path));
}

TEST_F(PidFile, kill_error_other_than_esrch_is_reported) {
    // pid 1 lives but belongs to root: an unprivileged caller gets EPERM. Under root the
    // check runs in a child that first gives up its privileges.
    test::write_file(path, "1");
    const std::string expected = "write_pid: kill(): Operation not permitted";
    if (::geteuid() != 0) {
        EXPECT_EQ(thrown_message([&] { check_pid(path); }), expected);
        return;
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        try {
            check_pid(path);
        } catch (const vyr::libs::core::exception& e) {
            ::_exit(e.message() == expected ? 0 : 1);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "1: another message, 2: privileges not dropped";
}

TEST_F(PidFile, unwritable_place_fails_to_open) {
    test::write_file(dir.file("plain"), "");  // a path below a regular file cannot be created, even by root
    for (const char* place : {"plain/rtls-quorvane.pid", "missing-folder/rtls-quorvane.pid"})
        EXPECT_EQ(thrown_message([&] { write_pid(dir.file(place)); }), "Error opening pid-file!") << place;
}
