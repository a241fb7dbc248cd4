// A WIN record as read whole, held in memory: the getters of `win` answered from the
// hashes and sets that were read, without a connection. Read a chunk of them at once with
// read_win_records; judge them; send what the judging decided to write as one write
// batch (context/write_batch.h). A record is a plain value: copy it, keep it, hand it to
// another thread.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/win.h"
#include "parameters/parameters.h"

namespace vyr::redis {
class connection;
}

namespace vyr::context {

class win_record {
public:
    win_record() = default;
    win_record(std::string _mac_addr, win_data _data) : m_mac_addr(std::move(_mac_addr)), m_data(std::move(_data)) {}

    const std::string& mac_addr() const noexcept { return m_mac_addr; }
    const win_data& data() const noexcept { return m_data; }
    // Whether the WIN has a data hash (a sending time, counter or screen text).
    bool exists() const { return !m_data.data.empty(); }

    // As the getters of `win` of the same names, with the same defaults; a stored number
    // that does not read as one throws as it does there.
    vyr::parameter::parameter_states parameter_state(vyr::parameter::parameter_t _p) const;
    std::string parameter_as_json(vyr::parameter::parameter_t _p, win::parameter_hemisphere _hemisphere) const;
    timeval parameter_timestamp(vyr::parameter::parameter_t _p) const;
    std::optional<std::int64_t> parameter_heard_ms(vyr::parameter::parameter_t _p) const;
    win::push_record parameter_push_record(vyr::parameter::parameter_t _p) const;
    std::string announce_token() const;
    std::optional<std::string> answer_token() const;
    std::uint32_t sending_counter() const;
    timeval sending_time() const;
    std::string current_text() const;
    alarm_delivery alarm_delivery_state() const;
    std::optional<shown_alarm> reported_zone_alarm() const;

    // Reported details; nothing when not reported.
    std::optional<bool> parameter_stationary() const;
    std::optional<std::string> parameter_category() const;
    std::optional<std::string> parameter_t2t_cfg_role() const;
    std::optional<bool> parameter_t2t_cfg_alarm_back() const;
    std::optional<bool> parameter_t2t_cfg_buzzer() const;
    std::optional<bool> parameter_t2t_cfg_haptic() const;
    std::optional<std::string> parameter_t2t_cfg_pin() const;
    std::optional<std::uint32_t> parameter_t2t_cfg_distance() const;
    std::optional<std::uint32_t> parameter_t2t_cfg_angle() const;
    std::optional<std::uint32_t> parameter_t2t_cfg_delay() const;
    std::optional<std::uint32_t> parameter_t2t_cfg_alert_distance() const;
    std::optional<std::uint32_t> parameter_t2t_cfg_safe_distance() const;
    // Nothing unless all five fields are there.
    std::optional<vyr::parameter::loc> parameter_loc() const;
    std::vector<std::string> parameter_t2t_no_alarm() const;
    // 65535, 255 and 0 when missing, as `win` reads them.
    std::uint32_t parameter_sync_slot_addr() const;
    std::uint32_t parameter_sync_slot_slot() const;
    std::uint32_t parameter_sync_slot_flags() const;
    vyr::parameter::superframe parameter_sf() const;

private:
    const common::hash* parameter_hash(vyr::parameter::parameter_t _p) const;
    std::optional<std::string> detail(vyr::parameter::parameter_t _p, std::string_view _field) const;
    // The key of the hash of parameter `_p`, named in the bad_data of its unreadable numbers.
    std::string parameter_key(vyr::parameter::parameter_t _p) const;
    std::optional<std::uint32_t> unsigned_detail(vyr::parameter::parameter_t _p, std::string_view _field) const;

    std::string m_mac_addr;
    win_data m_data;
};

// Which parameters' hashes to read of the WIN with this MAC.
using parameters_of = std::function<const std::vector<vyr::parameter::parameter_t>&(const std::string& _mac)>;
// The records of `_macs`, in their order, read whole in pipelines of bounded size: the
// data and alarm hashes and, of the parameters, those `_which` names (all of them when
// it is empty). A record that does not exist reads as one that does not exist. Throws
// redis::connection_error when the connection is lost.
std::vector<win_record> read_win_records(redis::connection& _redis_context, const std::vector<std::string>& _macs,
                                         const parameters_of& _which = {});

}  // namespace vyr::context
