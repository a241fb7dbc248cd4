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
using vyr::libs::core::pid_file;

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

TEST_F(PidFile, a_file_nobody_locks_is_stale_whatever_pid_it_holds_and_gets_ours) {
    const std::string ours = std::to_string(::getpid());
    test::process sleeper("/bin/sleep", {"30"});
    // Our own pid (a restart in a fresh pid namespace), a live process, pid 1 (another
    // user's for an unprivileged caller: kill() would fail with EPERM), a finished one,
    // nothing, garbage, a longer old content. The missing file comes first.
    for (const std::string& content :
         {std::string("(none)"), ours, std::to_string(sleeper.pid()), std::string("1"), std::to_string(finished_pid()),
          std::string(), std::string("abc123"), std::string("999999999\nold content that is longer")}) {
        if (content != "(none)")
            test::write_file(path, content);
        {
            const pid_file held(path);
            EXPECT_EQ(test::read_file(path), ours) << "content: " << content;  // no newline, nothing old left
        }
        EXPECT_EQ(test::read_file(path), ours);  // kept after the release
    }
}

TEST_F(PidFile, while_one_holds_the_lock_another_is_refused_and_the_file_kept) {
    {
        const pid_file first(path);
        for (int attempt = 0; attempt < 2; ++attempt)
            EXPECT_EQ(thrown_message([&] { pid_file second(path); }), "Process is running");
        EXPECT_EQ(test::read_file(path), std::to_string(::getpid()));
    }
    EXPECT_NO_THROW(pid_file again(path));  // released with the first
}

TEST_F(PidFile, unwritable_place_or_a_folder_fails_to_open) {
    test::write_file(dir.file("plain"), "");  // a path below a regular file cannot be created, even by root
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    for (const std::string& place : {dir.file("plain/rtls-quorvane.pid"), dir.file("missing-folder/rtls-quorvane.pid"), path})
        EXPECT_EQ(thrown_message([&] { pid_file held(place); }), "Error opening pid-file!") << place;
}
