// The configuration tree: parsing (including broken input), typed look-up by path with
// its reason texts (the service reads its file only that way), nodes that stay valid
// while the tree grows, and combining results with +.
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <boost/optional/bad_optional_access.hpp>
#include <gtest/gtest.h>

#include "config-parser/config.h"

namespace cfg = vyr::libs::config;

namespace {

std::unique_ptr<cfg::config> tree(const std::string& _text) {
    std::istringstream stream(_text);
    return cfg::config::create<cfg::type::json>(stream);
}

// The message of the runtime_error that parsing `_text` throws; "" when it parses.
std::string parse_error(const std::string& _text) {
    try {
        tree(_text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

const char* const s_document = R"({
    // comments are read and dropped
    "a": {"s": "text", "i": 7, "f": 2.0, "half": 2.5, "b": true, "q": "5", "n": null,
          "big": 3000000000, "neg": -12,
          "inner": {"deep": 1}},
    "list": [1, "two", {"three": 3}, [4]],
    "top": 1
})";

}  // namespace

TEST(ConfigTree, typed_lookup_by_path) {
    const auto t = tree(s_document);
    EXPECT_EQ(std::make_tuple(t->get_by_path<std::string>({"a", "s"}).value(), t->get_by_path<bool>({"a", "b"}).value(),
                              t->get_by_path<int>({"a", "i"}).reason()),
              std::make_tuple("text", true, ""));
    // "f" is an integral double.
    EXPECT_EQ((std::vector<int>{t->get_by_path<int>({"a", "i"}).value(), t->get_by_path<int>({"a", "f"}).value(),
                                t->get_by_path<int>({"a", "neg"}).value(), t->get_by_path<int>({"a", "inner", "deep"}).value(),
                                t->get_by_path<int>({"top"}).value()}),
              (std::vector<int>{7, 2, -12, 1, 1}));
}

TEST(ConfigTree, types_are_strict) {
    const auto t = tree(s_document);
    for (const std::string field : {"q", "half", "big", "b"})
        EXPECT_EQ(t->get_by_path<int>({"a", field}).reason(), "Can not find field <int>: a." + field);
    for (const std::string field : {"i", "s"})
        EXPECT_EQ(t->get_by_path<bool>({"a", field}).reason(), "Can not find field <bool>: a." + field);
    for (const std::string field : {"i", "n", "inner", "missing"})
        EXPECT_EQ(t->get_by_path<std::string>({"a", field}).reason(), "Can not find field <string>: a." + field);
}

TEST(ConfigTree, missing_or_scalar_object_on_the_way) {
    const auto t = tree(s_document);
    EXPECT_EQ(t->get_by_path<int>({"nothing", "x"}).reason(), "Can not find object <object>: nothing, path: nothing.x");
    EXPECT_EQ(t->get_by_path<int>({"top", "x"}).reason(), "Can not find object <object>: top, path: top.x");
    EXPECT_EQ(t->get_by_path<int>({"list", "x"}).reason(), "Can not find object <object>: list, path: list.x");
    EXPECT_EQ(t->get_by_path<int>({"a", "s", "x"}).reason(), "Can not find object <object>: a.s, path: a.s.x");
    EXPECT_EQ(t->get_by_path<int>({}).reason(), "Can not find field <int>: ");
}

TEST(ConfigTree, value_of_an_error_throws) {
    const auto failed = tree("{}")->get_by_path<int>({"a", "b"});
    EXPECT_FALSE(failed.ok());
    EXPECT_THROW((void)failed.value(), boost::bad_optional_access);
}

TEST(ConfigTree, many_nested_nodes_stay_valid) {
    // Nodes are referenced by address while the tree grows; a large document would show
    // a dangling reference.
    std::string text = "{\"rows\": [";
    for (int i = 0; i < 500; ++i)
        text += (i ? "," : "") + std::string("{\"id\": ") + std::to_string(i) + ", \"tags\": [" + std::to_string(i) + "]}";
    text += "]}";
    const auto t = tree(text);
    int expected = 0;
    const auto rows = t->get_root().get_value("rows")->get().as_array();
    ASSERT_TRUE(rows);
    for (const cfg::value& row : *rows) {
        const auto& object = row.as_object()->get();
        EXPECT_EQ(object.get<int>("id"), expected);
        const auto tags = object.get_value("tags")->get().as_array();
        ASSERT_TRUE(tags);
        EXPECT_EQ(tags->begin()->as_int(), expected);
        ++expected;
    }
    EXPECT_EQ(expected, 500);
}

TEST(ConfigTree, corrupted_input_is_rejected) {
    EXPECT_EQ(parse_error("").rfind("Cannot parse json: ", 0), 0u);
    EXPECT_NE(parse_error("").size(), std::string("Cannot parse json: ").size()) << "the reader's report is missing";
    for (const char* broken : {"{", "{\"a\": }", "{\"a\": 1,, }", "{\"a\" 1}", "nonsense", "{\"a\": \"unterminated}",
                               "\x01\x02\x03", "{\"a\": [1, 2}", "/* only a comment */"})
        EXPECT_EQ(parse_error(broken).rfind("Cannot parse json: ", 0), 0u) << "input: " << broken;
}

TEST(ConfigTree, top_level_that_is_not_an_object_has_no_sections) {
    for (const char* text : {"[1, 2]", "5", "\"text\"", "null"}) {
        const auto t = tree(text);
        EXPECT_TRUE(t->get_root().get_keys().empty()) << text;
        EXPECT_EQ(t->get_by_path<int>({"a", "b"}).reason(), "Can not find object <object>: a, path: a.b") << text;
    }
}

TEST(ConfigResult, plus_flattens_successes_into_one_tuple_and_keeps_failures_in_order) {
    const cfg::result<int> one(1);
    const auto all = one + cfg::result<std::string>(std::string("two")) + cfg::result<bool>(true);
    static_assert(std::is_same_v<std::decay_t<decltype(all.value())>, std::tuple<int, std::string, bool>>);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all.value(), std::make_tuple(1, std::string("two"), true));

    const cfg::result<int> first(cfg::error_reason{"first"}), second(cfg::error_reason{"second"});
    EXPECT_EQ(std::make_tuple((one + first).reason(), (first + one).reason()), std::make_tuple("first", "first"));
    EXPECT_EQ((first + one + second + one).reason(), "first\nsecond");
    EXPECT_FALSE((one + first + one).ok());
}
