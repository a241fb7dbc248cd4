// A copy of a snapshot's records shares them until one side changes a record: the change
// is its own, and the other copy (a cycle still judging with it) sees the record as it was.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "context/shared_records.h"

#include <unordered_map>

namespace {

using records = vyr::context::shared_records<std::string>;

std::map<std::string, std::string> contents(const records& _records) {
    std::map<std::string, std::string> out;
    for (const auto& [uid, record] : _records)
        out.emplace(uid, record);
    return out;
}

TEST(shared_records_test, a_change_in_one_copy_leaves_the_other_as_it_was) {
    records original{{"a", "1"}, {"b", "2"}};
    const records copy = original;
    EXPECT_EQ(copy.get("a"), original.get("a"));  // shared, not copied
    original["a"] = "changed";
    original["c"] = "new";
    original.erase("b");
    EXPECT_FALSE(original.emplace("a", "not taken"));
    EXPECT_EQ(contents(original), (std::map<std::string, std::string>{{"a", "changed"}, {"c", "new"}}));
    EXPECT_EQ(contents(copy), (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(copy.get("c"), nullptr);
    EXPECT_THROW((void)copy.at("c"), std::out_of_range);
    // A record no other copy holds is changed in place.
    const std::string* own = original.get("c");
    original["c"] += "!";
    EXPECT_EQ(original.get("c"), own);
    EXPECT_EQ(original.at("c"), "new!");
}

TEST(shared_records_test, a_map_is_copied_only_by_the_first_change_of_one_side) {
    using map = vyr::context::shared_map<std::unordered_map<std::string, std::string>>;
    map original{{"a", "1"}, {"b", "2"}};
    map copy = original;
    const auto* shared = &original.at("a");
    EXPECT_EQ(original.erase("absent"), 0u);  // nothing to change: still shared
    EXPECT_EQ(&copy.at("a"), shared);
    EXPECT_EQ(&original.at("a"), shared);
    original["a"] = "changed";
    EXPECT_TRUE(original.emplace("c", "new"));
    copy.clear();
    EXPECT_EQ((std::map<std::string, std::string>(original.begin(), original.end())),
              (std::map<std::string, std::string>{{"a", "changed"}, {"b", "2"}, {"c", "new"}}));
    EXPECT_TRUE(copy.empty());
    EXPECT_NE(&original.at("a"), shared);
}

}  // namespace
