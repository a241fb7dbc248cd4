#include "app/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>

#include "config-parser/config.h"
#include "core/exception.h"

namespace vyr {

namespace {

namespace cfg = vyr::libs::config;

// A TCP port: an integer in 1..65535. Out of range it would wrap (-1 becomes 4294967295
// in an endpoint text, which ZeroMQ takes without a word) or name no port at all.
cfg::result<int> port(const cfg::config& _tree, const char* _section, const char* _key) {
    auto found = _tree.get_by_path<int>({_section, _key});
    if (found.ok() && (found.value() < 1 || found.value() > 65535))
        return cfg::error_reason{std::string("Port out of range 1-65535: ") + _section + "." + _key + " = " +
                                 std::to_string(found.value())};
    return found;
}

// An optional text: empty when the key is absent, the reason when it holds another type.
// The reason names the key, never the value.
cfg::result<std::string> optional_text(const cfg::config& _tree, const char* _section, const char* _key) {
    const auto section = _tree.get_root().get_value(_section);
    const auto object = section ? section->get().as_object() : std::nullopt;
    if (!object || !object->get().get_value(_key))
        return std::string();
    return _tree.get_by_path<std::string>({_section, _key});
}

// An optional number of hours: `_absent` when the key is absent, the reason when it holds
// another type or lies outside 1..`_most`.
cfg::result<int> optional_number(const cfg::config& _tree, const char* _section, const char* _key, int _absent,
                                 int _least, int _most) {
    const auto section = _tree.get_root().get_value(_section);
    const auto object = section ? section->get().as_object() : std::nullopt;
    if (!object || !object->get().get_value(_key))
        return _absent;
    auto found = _tree.get_by_path<int>({_section, _key});
    if (found.ok() && (found.value() < _least || found.value() > _most))
        return cfg::error_reason{"Out of range " + std::to_string(_least) + "-" + std::to_string(_most) + ": " + _section + "." + _key + " = " +
                                 std::to_string(found.value())};
    return found;
}

// The optional sentinels: none when absent, else a list of "host:port" texts, one at least,
// and the master's name beside them.
// The instance's name when the file gives none: the host's name, which tells the site's
// servers apart.
std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

cfg::result<std::vector<redis::address>> sentinels(const cfg::config& _tree) {
    const auto section = _tree.get_root().get_value("redis");
    const auto object = section ? section->get().as_object() : std::nullopt;
    const auto list = object ? object->get().get_value("sentinels") : std::nullopt;
    const bool named = object && object->get().get_value("master_name");
    if (!list)
        return named ? cfg::result<std::vector<redis::address>>(
                           cfg::error_reason{"redis.master_name without redis.sentinels"})
                     : std::vector<redis::address>();
    const auto elements = list->get().as_array();
    if (!elements)
        return cfg::error_reason{"Not a list of host:port: redis.sentinels"};
    std::vector<redis::address> found;
    for (const auto& element : *elements) {
        const auto text = element.as_string();
        const auto parsed = text ? redis::parse_address(*text) : std::nullopt;
        if (!parsed)
            return cfg::error_reason{"Not a list of host:port: redis.sentinels"};
        found.push_back(*parsed);
    }
    if (found.empty())
        return cfg::error_reason{"Not a list of host:port: redis.sentinels"};
    if (!named)
        return cfg::error_reason{"redis.sentinels without redis.master_name"};
    return found;
}

}  // namespace

std::string config::exposure_warning(const std::string& _file_name) const {
    struct stat info {};
    if (!holds_password() || ::stat(_file_name.c_str(), &info) != 0 || (info.st_mode & S_IROTH) == 0)
        return {};
    return "the configuration file " + _file_name +
           " holds a password and every user may read it: make it readable by its owner and group only"
           " (chmod o-rwx)";
}

config config::from_file(const std::string& _file_name) {
    // Read here rather than through a stream, so that a file that cannot be read is
    // reported with its name and the system's reason instead of as empty JSON.
    const auto fail = [&] { VYR_THROW("cannot open " + _file_name + ": " + std::strerror(errno)); };
    const int fd = ::open(_file_name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail();
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            errno = error;
            fail();
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    std::istringstream stream(text);
    return config(stream);
}

config::config(std::istream& _stream) {
    const auto tree = cfg::config::create<cfg::type::json>(_stream);

    // Every required key is looked up, so one run reports all that is wrong.
    const auto required =
        tree->get_by_path<std::string>({"system", "pidfile"}) +
        tree->get_by_path<std::string>({"system", "debug_port"}) +
        tree->get_by_path<bool>({"system", "local_debug"}) +
        tree->get_by_path<std::string>({"proxy", "address"}) +
        port(*tree, "proxy", "output_port") +
        port(*tree, "proxy", "input_port") +
        tree->get_by_path<std::string>({"server", "protocol"}) +
        tree->get_by_path<std::string>({"server", "address"}) +
        port(*tree, "server", "port") +
        tree->get_by_path<std::string>({"redis", "address"}) +
        port(*tree, "redis", "port");
    const auto optional = optional_text(*tree, "server", "login") + optional_text(*tree, "server", "password") +
                          optional_text(*tree, "server", "ca_file") + optional_text(*tree, "redis", "user") +
                          optional_text(*tree, "redis", "password") + optional_text(*tree, "system", "metrics_address") +
                          optional_text(*tree, "redis", "master_name") +
                          optional_text(*tree, "redis", "sentinel_password") +
                          optional_text(*tree, "system", "instance_name");
    const auto sentinel_list = sentinels(*tree);
    const auto win_expiry = optional_number(*tree, "system", "win_expiry_hours", 24, 1, 365 * 24);
    const auto full_sweep = optional_number(*tree, "system", "full_sweep_seconds", 60, 5, 3600);
    const auto lease = optional_number(*tree, "system", "lease_seconds", 10, 5, 300);
    if (!required.ok() || !optional.ok() || !sentinel_list.ok() || !win_expiry.ok() || !full_sweep.ok() ||
        !lease.ok()) {
        std::string reasons = required.ok() ? std::string() : required.reason();
        for (const auto& reason : {optional.reason(), sentinel_list.reason()})
            if (!reason.empty())
                reasons += (reasons.empty() ? "" : "\n") + reason;
        for (const auto* number : {&win_expiry, &full_sweep, &lease})
            if (!number->ok())
                reasons += (reasons.empty() ? "" : "\n") + number->reason();
        VYR_THROW("Config file is invalid: " + reasons);
    }

    const auto push_schedule = tree->get_by_path<bool>({"system", "push_schedule_to_destination"});

    std::tie(system.pidfile, system.debug_port, system.local_debug, proxy.address, proxy.output_port,
             proxy.input_port, server.protocol, server.address, server.port, redis.address, redis.port) =
        required.value();
    std::tie(server.login, server.password, server.ca_file, redis.user, redis.password, system.metrics_address,
             redis.master_name, redis.sentinel_password, system.instance_name) = optional.value();
    if (system.instance_name.empty())
        system.instance_name = host_name();
    redis.sentinels = sentinel_list.value();
    system.push_schedule_to_destination = push_schedule.ok() && push_schedule.value();
    system.win_expiry_hours = static_cast<std::uint32_t>(win_expiry.value());
    system.full_sweep_seconds = static_cast<std::uint32_t>(full_sweep.value());
    system.lease_seconds = static_cast<std::uint32_t>(lease.value());
}

}  // namespace vyr
