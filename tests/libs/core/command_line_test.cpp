// The -c option and the pid file that keeps a second instance from starting.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/get_config_file_name.h"
#include "core/pid_file.h"
#include "support/process.h"

using vyr::libs::core::get_config_file_name;
using vyr::libs::core::detail::check_pid;
using vyr::libs::core::detail::write_pid;

namespace {

// getopt may reorder argv, so every call gets fresh, writable copies.
struct command_line {
    explicit command_line(std::vector<std::string> _args) : texts(std::move(_args)) {
        for (auto& text : texts)
            argv.push_back(text.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }

    std::vector<std::string> texts;
    std::vector<char*> argv;
};

std::string parse(std::vector<std::string> _args) {
    command_line line(std::move(_args));
    return get_config_file_name(line.argc(), line.argv.data());
}

// The message of the exception a call throws, or "" when it throws none.
template <class F>
std::string message_of(F&& _call) {
    try {
        _call();
    } catch (const vyr::libs::core::exception& e) {
        return e.message();
    }
    return "";
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

TEST(ConfigFileName, takes_the_argument_of_c) {
    EXPECT_EQ(parse({"prog", "-c", "a.json"}), "a.json");
    EXPECT_EQ(parse({"prog", "-ca.json"}), "a.json");
}

TEST(ConfigFileName, last_c_wins) { EXPECT_EQ(parse({"prog", "-c", "a.json", "-c", "b.json"}), "b.json"); }

TEST(ConfigFileName, ignores_non_option_arguments) {
    EXPECT_EQ(parse({"prog", "extra", "-c", "a.json", "more"}), "a.json");
}

TEST(ConfigFileName, can_be_called_again) {
    // getopt keeps its position between calls; a second scan must start over.
    EXPECT_EQ(parse({"prog", "-c", "first.json"}), "first.json");
    EXPECT_EQ(parse({"prog", "-c", "second.json"}), "second.json");
    EXPECT_EQ(parse({"prog", "x", "-c", "third.json"}), "third.json");
}

TEST(ConfigFileName, usage_texts) {
    const std::string not_defined = "The configuration file is not defined! Usage: prog -c config_file";
    EXPECT_EQ(message_of([] { parse({"prog"}); }), not_defined);
    EXPECT_EQ(message_of([] { parse({"prog", "-c", ""}); }), not_defined);
    EXPECT_EQ(message_of([] { parse({"prog", "a.json"}); }), not_defined);
    EXPECT_EQ(message_of([] { parse({"prog", "-x"}); }), "Usage: prog -c config_file");
    EXPECT_EQ(message_of([] { parse({"prog", "-c", "a.json", "-x"}); }), "Usage: prog -c config_file");
    EXPECT_EQ(message_of([] { parse({"prog", "-c"}); }), "Usage: prog -c config_file");
}

TEST(ConfigFileName, empty_argument_vector_does_not_crash) {
    char* argv[] = {nullptr};
    try {
        get_config_file_name(0, argv);
        FAIL() << "no file name, but no exception";
    } catch (const vyr::libs::core::exception& e) {
        EXPECT_EQ(e.message(), "The configuration file is not defined! Usage: rtls-quorvane -c config_file");
    }
}

TEST(ConfigFileName, thrown_error_carries_its_location) {
    try {
        parse({"prog"});
        FAIL() << "no exception";
    } catch (const vyr::libs::core::exception& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("/libs/core/src/impl/get_config_file_name.cpp:", 0), 0u) << what;
        EXPECT_NE(what.find(" The configuration file is not defined!"), std::string::npos) << what;
    }
}

// ---- pid file ----------------------------------------------------------------------------

class PidFile : public ::testing::Test {
protected:
    test::temp_dir dir;
    std::string path = dir.file("rtls-quorvane.pid");
};

TEST_F(PidFile, missing_file_means_no_instance) {
    EXPECT_NO_THROW(check_pid(path));
    EXPECT_FALSE(test::file_exists(path));
}

TEST_F(PidFile, write_pid_writes_the_own_pid_without_newline) {
    test::write_file(path, "999999999\nold content that is longer");
    write_pid(path);
    EXPECT_EQ(test::read_file(path), std::to_string(::getpid()));
}

TEST_F(PidFile, live_process_refuses_start_and_keeps_the_file) {
    test::process sleeper("/bin/sleep", {"30"});
    const std::string content = std::to_string(sleeper.pid());
    test::write_file(path, content);
    EXPECT_EQ(message_of([&] { check_pid(path); }), "Process is running");
    EXPECT_EQ(test::read_file(path), content);
}

TEST_F(PidFile, own_pid_counts_as_running) {
    write_pid(path);
    EXPECT_EQ(message_of([&] { check_pid(path); }), "Process is running");
}

TEST_F(PidFile, stale_empty_zero_and_garbage_files_let_start_go_on) {
    for (const std::string& content :
         {std::to_string(finished_pid()), std::string(), std::string("0"), std::string("abc123"),
          std::string("\n\n"), std::string("99999999999999999999999"), std::string("2147483647")}) {
        test::write_file(path, content);
        EXPECT_NO_THROW(check_pid(path)) << "content: " << content;
        write_pid(path);
        EXPECT_EQ(test::read_file(path), std::to_string(::getpid()));
    }
}

TEST_F(PidFile, negative_number_is_not_taken_for_a_process_group) {
    // kill(-1, 0) would succeed for every process we may signal and kill(-pgid, 0) for a
    // live group: neither is an instance of this program.
    for (const std::string& content : {std::string("-1"), "-" + std::to_string(::getpgrp())}) {
        test::write_file(path, content);
        EXPECT_NO_THROW(check_pid(path)) << "content: " << content;
    }
}

TEST_F(PidFile, kill_error_other_than_esrch_is_reported) {
    // pid 1 lives but belongs to root: an unprivileged caller gets EPERM. Under root the
    // check runs in a child that first gives up its privileges.
    test::write_file(path, "1");
    const std::string expected = "write_pid: kill(): Operation not permitted";
    if (::geteuid() != 0) {
        EXPECT_EQ(message_of([&] { check_pid(path); }), expected);
        return;
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        ::_exit(message_of([&] { check_pid(path); }) == expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another message, 2: privileges could not be dropped";
}

TEST_F(PidFile, unwritable_place_fails_to_open) {
    // A path below a regular file cannot be created, even by root.
    test::write_file(dir.file("plain"), "");
    EXPECT_EQ(message_of([&] { write_pid(dir.file("plain/rtls-quorvane.pid")); }), "Error opening pid-file!");
    EXPECT_EQ(message_of([&] { write_pid(dir.file("missing-folder/rtls-quorvane.pid")); }), "Error opening pid-file!");
}

TEST_F(PidFile, unreadable_file_means_no_instance) {
    // A folder in place of the file cannot be read as a number.
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_NO_THROW(check_pid(path));
}
