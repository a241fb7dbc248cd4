// Fuzz target: the platform server's answers, through every c_vyrserver getter. The first
// byte picks the getter (and, for licences and certifications, the HTTP status; for the
// sleep mechanism's anchor list, the location or sublocation asked for); the rest is the
// answer body, which the in-process stand-in serves from its project folder. Each getter
// runs as the updater runs it: an exception is logged and the pass goes on. What the
// decoders promise about their records is checked.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/exception.h"
#include "platform/vyrserver.h"
#include "support/fuzz_support.h"

namespace {

using namespace vyr::vyrserver;

struct stand_in {
    std::string dir;
    std::unique_ptr<fuzz::platform> server;
    std::shared_ptr<c_vyrserver> client;
    int status = 200;  // of the licence and certification paths, as the control file says

    stand_in() {
        char pattern[] = "/tmp/quorvane-fuzz-platform-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        server = std::make_unique<fuzz::platform>(dir);
        client = server->client();
    }
    ~stand_in() {
        client.reset();
        server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    void write(const std::string& _file, const std::string& _content) const {
        std::ofstream out(dir + "/" + _file, std::ios::binary | std::ios::trunc);
        out << _content;
    }

    void set_status(int _status) {
        if (_status == status)
            return;
        status = _status;
        if (status == 200)
            std::filesystem::remove(dir + "/control.json");
        else
            write("control.json", R"({"fail": {"/api/private/wsc/*": )" + std::to_string(status) + "}}");
    }
};

stand_in& platform() {
    static stand_in instance;
    return instance;
}

// A MAC the decoders hand out: normalised (16 characters, no lower-case letter).
void check_mac(const std::string& _mac, bool _may_be_empty) {
    if (_mac.empty()) {
        FUZZ_CHECK(_may_be_empty, "empty MAC");
        return;
    }
    FUZZ_CHECK(_mac.size() == 16, "MAC \"" + fuzz::printable(_mac) + "\"");
    for (const char c : _mac)
        FUZZ_CHECK(!(c >= 'a' && c <= 'z'), "MAC \"" + fuzz::printable(_mac) + "\" is not upper case");
}

void run(std::uint8_t _selector, const std::string& _body) {
    auto& p = platform();
    const c_vyrserver& client = *p.client;
    static const int statuses[] = {200, 401, 404, 500};
    switch (_selector % 11) {
    case 0:
        p.write("win_anchors.json", _body);
        for (const auto& [uid, a] : client.get_anchors("", ""))
            check_mac(a.mac_address, true);
        break;
    case 1: {
        p.write("win_anchors.json", _body);
        static const char* const places[][2] = {{"", ""}, {"loc-1", ""}, {"", "sl-hall"}, {"loc-1", "sl-hall"}};
        const auto& place = places[(_selector >> 4) % 4];
        std::map<std::string, anchor_sleep_t> anchors;
        client.get_anchors(anchors, "prj-demo", place[0], place[1]);
        for (const auto& [uid, a] : anchors) {
            check_mac(a.m_mac_address, false);
            FUZZ_CHECK(a.m_project_uid == "prj-demo", "project of anchor " + fuzz::printable(uid));
        }
        break;
    }
    case 2:
        p.write("track_obj.json", _body);
        for (const auto& [uid, object] : client.get_track_objs("", "")) {
            check_mac(object.mac_address, true);
            for (const char c : object.category)
                FUZZ_CHECK(!(c >= 'A' && c <= 'Z'), "category \"" + fuzz::printable(object.category) + "\"");
        }
        break;
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8: {
        // Getters whose records promise nothing beyond being read without a crash.
        static const std::pair<const char*, void (*)(const c_vyrserver&)> plain[] = {
            {"groups.json", [](const c_vyrserver& _c) { (void)_c.get_groups("", ""); }},
            {"zones.json", [](const c_vyrserver& _c) { (void)_c.get_zones("", ""); }},
            {"sublocations.json", [](const c_vyrserver& _c) { (void)_c.get_sublocations("", ""); }},
            {"alarms_active.json", [](const c_vyrserver& _c) { (void)_c.get_alarms(""); }},
            {"tdoa_settings.json", [](const c_vyrserver& _c) { (void)_c.get_tdoa_settings(""); }},
            {"tdoa_schedules.json", [](const c_vyrserver& _c) { (void)_c.get_tdoa_schedules(""); }}};
        const auto& [file, getter] = plain[_selector % 11 - 3];
        p.write(file, _body);
        getter(client);
        break;
    }
    case 9: {
        p.write("driver_licenses.json", _body);
        p.set_status(statuses[(_selector >> 4) % 4]);
        const auto licenses = client.get_driver_licenses("");
        FUZZ_CHECK(licenses.has_value() == (p.status == 200), "driver licences with status " + std::to_string(p.status));
        break;
    }
    case 10: {
        p.write("vehicle_certifications.json", _body);
        p.set_status(statuses[(_selector >> 4) % 4]);
        const auto certifications = client.get_vehicle_certifications("");
        FUZZ_CHECK(certifications.has_value() == (p.status == 200),
                   "vehicle certifications with status " + std::to_string(p.status));
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)platform();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    if (_size == 0)
        return 0;
    try {
        run(_data[0], std::string(reinterpret_cast<const char*>(_data) + 1, _size - 1));
    } catch (const std::exception&) {
        // A broken answer fails the request; the updater logs it and goes on.
        fuzz::logger().log_exception(VYR_HERE);
    }
    return 0;
}
