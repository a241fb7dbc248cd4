// The project generator (quorvane-make-project): the demo project kept with the sources is
// what its defaults give (the demo-site tests show the service decodes and settles it).
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/sim_site.h"

namespace {

TEST(MakeProject, TheDemoProjectIsWhatTheDefaultsGive) {
    test::temp_dir dir;
    test::process generator(test::binary("quorvane-make-project"), {"--out", dir.file("a")});
    const auto status = generator.wait(std::chrono::seconds(60));
    ASSERT_TRUE(status && status->exited && status->code == 0);
    for (const char* file : {"track_obj.json", "win_anchors.json", "groups.json", "zones.json", "sublocations.json",
                             "tdoa_settings.json", "tdoa_schedules.json", "alarms_active.json", "driver_licenses.json",
                             "vehicle_certifications.json"}) {
        const std::string a = test::read_file(dir.file("a") + "/" + file);
        ASSERT_FALSE(a.empty()) << file;
        EXPECT_EQ(a, test::read_file(test::sim_site::demo_project() + "/" + file))
            << file << " of the demo project is not what the generator writes now";
    }
}

}  // namespace
