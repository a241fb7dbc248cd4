#include "app/config.h"

#include <string>
#include <tuple>

#include "config-parser/config.h"
#include "core/exception.h"

namespace vyr {

config::config(std::istream& _stream) {
    namespace cfg = vyr::libs::config;
    const auto tree = cfg::config::create<cfg::type::json>(_stream);

    // Every required key is looked up, so one run reports all that is wrong.
    const auto required =
        tree->get_by_path<std::string>({"system", "pidfile"}) +
        tree->get_by_path<std::string>({"system", "debug_port"}) +
        tree->get_by_path<bool>({"system", "local_debug"}) +
        tree->get_by_path<std::string>({"proxy", "address"}) +
        tree->get_by_path<int>({"proxy", "output_port"}) +
        tree->get_by_path<int>({"proxy", "input_port"}) +
        tree->get_by_path<std::string>({"server", "protocol"}) +
        tree->get_by_path<std::string>({"server", "address"}) +
        tree->get_by_path<int>({"server", "port"}) +
        tree->get_by_path<std::string>({"redis", "address"}) +
        tree->get_by_path<int>({"redis", "port"});
    if (!required.ok())
        VYR_THROW("Config file is invalid: " + required.reason());

    const auto push_schedule = tree->get_by_path<bool>({"system", "push_schedule_to_destination"});

    std::tie(system.pidfile, system.debug_port, system.local_debug, proxy.address, proxy.output_port,
             proxy.input_port, server.protocol, server.address, server.port, redis.address, redis.port) =
        required.value();
    system.push_schedule_to_destination = push_schedule.ok() && push_schedule.value();
}

}  // namespace vyr
