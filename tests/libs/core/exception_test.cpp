// Source locations and the exception type: how they print and how exceptions of every
// kind become one line of log text.
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/constants.h"
#include "core/exception.h"
#include "core/source_location.h"

using vyr::libs::core::exception_to_string;
using vyr::libs::core::source_location;

namespace {

std::string short_of(const char* _signature) { return source_location(1, "f", _signature).short_function(); }

std::string text_of_thrown(void (*_throw)()) {
    try {
        _throw();
    } catch (...) {
        return exception_to_string();
    }
    return "";
}

}  // namespace

TEST(SourceLocation, short_function) {
    const std::pair<const char*, const char*> shortened[] = {
        {"void vyr::updater::thread_body()", "vyr::updater::thread_body"}, {"vyr::f()", "vyr::f"},
        {"vyr::redis::reply vyr::redis::connection::command(const vyr::x&)", "vyr::redis::connection::command"},
        {"vyr::c_receiver::thread_body()::<lambda()>", "vyr::c_receiver::thread_body"},
        {"void vyr::f(T) [with T = int]", "vyr::f"}};
    for (const auto& [signature, expected] : shortened)
        EXPECT_EQ(short_of(signature), expected);
    // Outside the namespace, or not a signature: the whole text.
    for (const char* whole :
         {"int main(int, char**)", "void c_receiver::thread_body()", "void f(vyr::x)", "vyr::no_parenthesis", "f()", ""})
        EXPECT_EQ(short_of(whole), whole);
}

TEST(SourceLocation, file_below_the_source_tree) {
    const auto here = VYR_HERE;
    EXPECT_EQ(here.stripped_file(), "/tests/libs/core/exception_test.cpp");
    EXPECT_EQ(source_location::remove_directory_prefix(std::string(vyr::libs::core::constants::source_directory) + "/src/x.cpp"),
              "/src/x.cpp");
    EXPECT_EQ(source_location::remove_directory_prefix("short"), "");
    // Paths made relative to the build folder by a compiler launcher (ccache base_dir).
    for (const char* relative : {"../src/x.cpp", "../../src/x.cpp"})
        EXPECT_EQ(source_location::remove_directory_prefix(relative), "/src/x.cpp") << relative;
}

TEST(Exception, describes_file_line_and_message) {
    const source_location where(42, std::string_view(__FILE__), "f()");
    const vyr::libs::core::exception e("went wrong", where);
    const std::string described = "/tests/libs/core/exception_test.cpp:42 went wrong";
    EXPECT_EQ(std::make_tuple(std::string(e.what()), exception_to_string(e), e.message()),
              std::make_tuple(described, described, "went wrong"));

    const vyr::libs::core::located_exception bare(where);
    EXPECT_STREQ(bare.what(), "/tests/libs/core/exception_test.cpp:42");
}

TEST(Exception, exception_to_string_classifies_what_is_in_flight) {
    EXPECT_THAT(text_of_thrown([] { VYR_THROW("located"); }),
                ::testing::MatchesRegex("/tests/libs/core/exception_test.cpp:[0-9]+ located"));
    EXPECT_EQ(text_of_thrown([] { throw std::runtime_error("plain"); }), "std::exception::what(): plain");
    EXPECT_EQ(std::make_tuple(text_of_thrown([] { throw 5; }), text_of_thrown([] { throw std::string("text"); })),
              std::make_tuple("Unknown exception", "Unknown exception"));
}
