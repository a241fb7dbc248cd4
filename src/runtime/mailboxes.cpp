#include "runtime/mailboxes.h"

#include <cstring>

namespace vyr::mail {

namespace {

template <class Layout>
void assign(std::string& _frame, const Layout& _layout) {
    _frame.assign(reinterpret_cast<const char*>(&_layout), sizeof _layout);
}

// The layout of a frame of exactly its size.
template <class Layout>
bool exactly(std::string_view _frame, Layout& _layout) {
    if (_frame.size() != sizeof _layout)
        return false;
    std::memcpy(&_layout, _frame.data(), sizeof _layout);
    return true;
}

bool one_byte(std::uint8_t _code, std::string& _frame) {
    _frame.assign(1, static_cast<char>(_code));
    return true;
}

bool encode_node(std::uint8_t _code, const std::string& _mac, const std::string& _uid, std::string& _frame) {
    cmd_notify_from_node_t layout{};
    if (!cmd::fits_field(layout.mac, _mac) || !cmd::fits_field(layout.uid, _uid))
        return false;
    layout.cmd = _code;
    cmd::set_field(layout.mac, _mac);
    cmd::set_field(layout.uid, _uid);
    assign(_frame, layout);
    return true;
}

template <class Node>
bool decode_node(std::string_view _frame, Node& _out) {
    cmd_notify_from_node_t layout{};
    if (!exactly(_frame, layout))
        return false;
    _out.mac = cmd::field_text(layout.mac);
    _out.uid = cmd::field_text(layout.uid);
    return true;
}

}  // namespace

bool encode(const stop&, std::string& _frame) { return one_byte(stop::code, _frame); }
bool encode(const context_updated&, std::string& _frame) { return one_byte(context_updated::code, _frame); }
bool encode(const alarms_refreshed&, std::string& _frame) { return one_byte(alarms_refreshed::code, _frame); }

bool decode(std::string_view _frame, stop&) { return _frame.size() == 1; }
bool decode(std::string_view _frame, context_updated&) { return _frame.size() == 1; }
bool decode(std::string_view _frame, alarms_refreshed&) { return _frame.size() == 1; }

bool encode(const param_request& _message, std::string& _frame) {
    cmd_param_req_from_node_t head{};
    if (!cmd::fits_field(head.mac, _message.mac))
        return false;
    head.cmd = param_request::code;
    cmd::set_field(head.mac, _message.mac);
    assign(_frame, head);
    for (const std::uint32_t number : _message.numbers)
        _frame.append(reinterpret_cast<const char*>(&number), sizeof number);
    return true;
}

bool decode(std::string_view _frame, param_request& _out) {
    cmd_param_req_from_node_t head{};
    if (!exactly(_frame.substr(0, sizeof head), head))
        return false;
    _out.mac = cmd::field_text(head.mac);
    _out.numbers.resize((_frame.size() - sizeof head) / sizeof(std::uint32_t));
    if (!_out.numbers.empty())
        std::memcpy(_out.numbers.data(), _frame.data() + sizeof head, _out.numbers.size() * sizeof(std::uint32_t));
    return true;
}

bool encode(const devices_changed& _message, std::string& _frame) {
    decltype(cmd_param_req_from_node_t::mac) field{};
    if (_message.macs.size() > devices_changed::max_macs)
        return false;
    for (const auto& mac : _message.macs)
        if (!cmd::fits_field(field, mac))
            return false;
    _frame.assign(1, static_cast<char>(devices_changed::code));
    _frame += static_cast<char>(_message.alive_only ? 1 : 0);
    for (const auto& mac : _message.macs) {
        cmd::set_field(field, mac);
        _frame.append(field, sizeof field);
    }
    return true;
}

bool decode(std::string_view _frame, devices_changed& _out) {
    decltype(cmd_param_req_from_node_t::mac) field{};
    constexpr std::size_t head = 2;
    if (_frame.size() < head || (_frame.size() - head) % sizeof field != 0 || std::uint8_t(_frame[1]) > 1)
        return false;
    const auto count = (_frame.size() - head) / sizeof field;
    if (count > devices_changed::max_macs)
        return false;
    _out.alive_only = _frame[1] == 1;
    _out.macs.clear();
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(field, _frame.data() + head + i * sizeof field, sizeof field);
        _out.macs.push_back(cmd::field_text(field));
    }
    return true;
}

bool encode(const anchor_announced& _message, std::string& _frame) {
    return encode_node(anchor_announced::code, _message.mac, _message.uid, _frame);
}
bool encode(const anchor_alive& _message, std::string& _frame) {
    return encode_node(anchor_alive::code, _message.mac, _message.uid, _frame);
}
bool decode(std::string_view _frame, anchor_announced& _out) { return decode_node(_frame, _out); }
bool decode(std::string_view _frame, anchor_alive& _out) { return decode_node(_frame, _out); }

bool encode(const sleep_order& _message, std::string& _frame) {
    cmd_put_to_sleep_t layout;
    std::memset(&layout, 0, sizeof layout);  // padding included: the frame leaves the thread
    if (!cmd::fits_field(layout.project_uid, _message.project_uid) ||
        !cmd::fits_field(layout.loc_uid, _message.loc_uid) || !cmd::fits_field(layout.sl_uid, _message.sl_uid))
        return false;
    layout.cmd = sleep_order::code;
    layout.delay = _message.delay;
    layout.sleep_time = _message.sleep_time;
    cmd::set_field(layout.project_uid, _message.project_uid);
    cmd::set_field(layout.loc_uid, _message.loc_uid);
    cmd::set_field(layout.sl_uid, _message.sl_uid);
    assign(_frame, layout);
    return true;
}

bool decode(std::string_view _frame, sleep_order& _out) {
    cmd_put_to_sleep_t layout{};
    if (!exactly(_frame, layout))
        return false;
    _out.delay = layout.delay;
    _out.sleep_time = layout.sleep_time;
    _out.project_uid = cmd::field_text(layout.project_uid);
    _out.loc_uid = cmd::field_text(layout.loc_uid);
    _out.sl_uid = cmd::field_text(layout.sl_uid);
    return true;
}

bool encode(const sleep_confirmed& _message, std::string& _frame) {
    cmd_node_notified_t layout{};
    if (!cmd::fits_field(layout.mac, _message.mac))
        return false;
    layout.cmd = sleep_confirmed::code;
    cmd::set_field(layout.mac, _message.mac);
    assign(_frame, layout);
    return true;
}

bool decode(std::string_view _frame, sleep_confirmed& _out) {
    cmd_node_notified_t layout{};
    if (!exactly(_frame, layout))
        return false;
    _out.mac = cmd::field_text(layout.mac);
    return true;
}

}  // namespace vyr::mail
