// The project generator (quorvane-make-project) as its users meet it: the same options
// give the same files, the demo project kept with the sources is what the defaults give
// (the demo-site tests show the service decodes and settles it), and bad options are
// refused.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/sim_site.h"

namespace {

// The generator's exit status with `_args`; -1 when it did not end.
int make_project(const std::vector<std::string>& _args) {
    test::process generator(test::binary("quorvane-make-project"), _args);
    const auto status = generator.wait(std::chrono::seconds(60));
    return status && status->exited ? status->code : -1;
}

TEST(MakeProject, SameSeedGivesTheSameFilesTheDemoProjectIsTheDefaultAndBadOptionsAreRefused) {
    test::temp_dir dir;
    ASSERT_EQ(make_project({"--out", dir.file("a")}), 0);
    ASSERT_EQ(make_project({"--out", dir.file("b"), "--seed", "1", "--tags", "150", "--anchors", "12",
                            "--sublocations", "2"}),
              0);
    ASSERT_EQ(make_project({"--out", dir.file("c"), "--seed", "2"}), 0);
    for (const char* file : {"track_obj.json", "win_anchors.json", "groups.json", "zones.json", "sublocations.json",
                             "tdoa_settings.json", "tdoa_schedules.json", "alarms_active.json", "driver_licenses.json",
                             "vehicle_certifications.json"}) {
        const std::string a = test::read_file(dir.file("a") + "/" + file);
        ASSERT_FALSE(a.empty()) << file;
        EXPECT_EQ(a, test::read_file(dir.file("b") + "/" + file)) << file;
        EXPECT_EQ(a, test::read_file(test::sim_site::demo_project() + "/" + file))
            << file << " of the demo project is not what the generator writes now";
    }
    EXPECT_NE(test::read_file(dir.file("a") + "/track_obj.json"), test::read_file(dir.file("c") + "/track_obj.json"));

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--tags", "10"}, {"--out", dir.file("x"), "--tags", "-1"}, {"--out", dir.file("x"), "--sublocations", "0"},
             {"--out", dir.file("x"), "--tags", "70000"}, {"--out", dir.file("x"), "--seed", "1x"}})
        EXPECT_EQ(make_project(args), 2) << args.back();
    EXPECT_FALSE(test::file_exists(dir.file("x") + "/track_obj.json"));
}

}  // namespace
