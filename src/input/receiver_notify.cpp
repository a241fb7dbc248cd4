// Server change notifications ("#notify"): the platform announces created, changed and
// deleted project objects, and radio nodes announce themselves. Each handler runs on the
// receiver thread, writes the change into the Redis mirror with the updater's writes
// (platform/updater_writes.h) through the receiver's own connection, queues re-fetches with the updater and wakes the sleep mechanism for
// anchor announcements. A handler that wrote a project object sends "context updated" to
// the parameter-request mechanism, which then compares the devices with it at once
// (several of them together give one cycle); a re-fetch asks for its cycle when the
// updater has written it. An announcement writes the device's WIN record, and the device
// is named to that mechanism after the write.
#include <sys/time.h>

#include <cstdint>
#include <string>

#include "common/field_reader.h"
#include "common/metrics.h"
#include "common/helpers.h"
#include "context/context.h"
#include "core/json.h"
#include "input/receiver.h"
#include "platform/decoders.h"
#include "platform/updater.h"
#include "platform/updater_writes.h"
#include "runtime/mailboxes.h"
#include "redis/transaction.h"

namespace {

bool is_change(const std::string& _action) { return _action == "created" || _action == "updated"; }

// The start of every project-object notification: "action", "plist" and its "uid".
bool read_envelope(const field_reader& _read, const Json::Value& _j, std::string& _action, Json::Value& _plist,
                   std::string& _uid) {
    return _read(_j, "action", _action) && _read(_j, "plist", _plist) && _read(_plist, "uid", _uid);
}

// The node announcement common to anchors and tags: "dev_id" when present, then the
// normalised "mac" and "action".
bool read_announcement(const field_reader& _read, const Json::Value& _j, std::string& _dev_id, std::string& _mac,
                       std::string& _action) {
    if (has_member(_j, "dev_id") && !_read(_j, "dev_id", _dev_id))
        return false;
    if (!_read(_j, "mac", _mac) || !_read.checked_mac(_mac, _dev_id))
        return false;
    return _read(_j, "action", _action);
}

// Each anchor among `_devices` passed on to the sleep mechanism as a `Message` (an
// announcement or a heartbeat).
template <class Message>
void pass_on_anchors(zmq::socket_t& _socket, vyr::libs::core::component_logger& _logger,
                     const std::vector<c_receiver::heartbeat>& _devices) {
    for (const auto& device : _devices)
        if (device.anchor && !device.dev_id.empty() &&
            vyr::mail::mech_sleep::send(_socket, Message{device.mac, device.dev_id}, _logger) ==
                vyr::mail::sent::too_long)
            _logger.warning("announcement of anchor %1% not passed on: its uid is longer than %2% characters: %3%") %
                vyr::libs::core::device_mac{device.mac} % vyr::cmd::uid_size % device.dev_id;
}

}  // namespace

void c_receiver::process_notify(const std::string& _body) const {
    const auto parsed = vyr::libs::core::json::try_parse(_body);
    if (!parsed.ok)
        return vyr::metrics::add(vyr::metrics::counter::reports_malformed);
    // A document that is not an object makes JsonCpp throw here; the receiver loop logs it.
    const Json::Value& object = parsed.result["object"];
    if (!object.isString())
        return;

    using handler_t = void (c_receiver::*)(const Json::Value&) const;
    static const std::pair<const char*, handler_t> s_handlers[] = {
        {"WIN", &c_receiver::process_notify_WIN},
        {"WIN_ANCHOR", &c_receiver::process_notify_WIN_ANCHOR},
        {"TO", &c_receiver::process_notify_TO},
        {"TRACKABLE_OBJECT", &c_receiver::process_notify_TRACKABLE_OBJECT},
        {"GROUP", &c_receiver::process_notify_GROUP},
        {"ZONE", &c_receiver::process_notify_ZONE},
        {"SUBLOCATION", &c_receiver::process_notify_SUBLOCATION},
        {"PROJECT", &c_receiver::process_notify_PROJECT},
        {"TDOA_SCHEDULE", &c_receiver::process_notify_tdoa_schedule},
        {"TDOA_SETTINGS", &c_receiver::process_notify_tdoa_settings},
        {"driver_licenses", &c_receiver::process_notify_driver_licenses},
        {"vehicle_certifications", &c_receiver::process_notify_vehicle_certifications},
    };
    const std::string kind = object.asString();
    for (const auto& [name, handler] : s_handlers) {
        if (kind == name) {
            (this->*handler)(parsed.result);
            return;
        }
    }
}

// ---- project objects -----------------------------------------------------------------------

// "deleted" removes the record; "created" and "updated" write the decoded "plist" into
// it; another action is decoded and dropped. Whether the record was written.
template <class Object>
bool c_receiver::notify_object(const char* _func, const char* _object, vyr::mirror::kind _kind,
                               const Json::Value& _j_notify) const {
    const vyr::vyrserver::object_decoder decode{{m_logger, _func, _object}, vyr::vyrserver::from_notification};
    std::string action, uid;
    Json::Value plist;
    if (!read_envelope(decode.read, _j_notify, action, plist, uid))
        return false;
    if (action == "deleted") {
        writes().remove_notified(_kind, uid);
        return true;
    }
    Object object;
    if (!decode(plist, uid, object) || !is_change(action))
        return false;
    writes().apply_notified(uid, object);
    return true;
}

void c_receiver::process_notify_GROUP(const Json::Value& _j_notify) const {
    if (notify_object<vyr::vyrserver::group>("process_notify_GROUP", "GROUP", vyr::mirror::groups, _j_notify))
        send_context_updated_notification();
}

void c_receiver::process_notify_ZONE(const Json::Value& _j_notify) const {
    if (notify_object<vyr::vyrserver::zone>("process_notify_ZONE", "ZONE", vyr::mirror::zones, _j_notify))
        send_context_updated_notification();
}

// Offsets round as in the API's answers: to the nearest integer, halves up (-2.5 gives -2).
void c_receiver::process_notify_SUBLOCATION(const Json::Value& _j_notify) const {
    if (notify_object<vyr::vyrserver::sublocation>("process_notify_SUBLOCATION", "SUBLOCATION",
            vyr::mirror::sublocations, _j_notify))
        send_context_updated_notification();
}

void c_receiver::process_notify_WIN_ANCHOR(const Json::Value& _j_notify) const {
    if (notify_object<vyr::vyrserver::anchor>("process_notify_WIN_ANCHOR", "WIN_ANCHOR",
            vyr::mirror::anchors, _j_notify))
        send_context_updated_notification();
}

// As in the API's answers the position and height round halves up and the t2t distances,
// angle and delay halves away from zero (negatives 0); unlike them the position need not
// name its sublocation.
void c_receiver::process_notify_TRACKABLE_OBJECT(const Json::Value& _j_notify) const {
    if (notify_object<vyr::vyrserver::track_obj>("process_notify_TRACKABLE_OBJECT", "TRACKABLE_OBJECT",
            vyr::mirror::track_objs, _j_notify))
        send_context_updated_notification();
}

// Only the project's TDOA setting goes with the project; its other objects are deleted
// by notifications of their own.
void c_receiver::process_notify_PROJECT(const Json::Value& _j_notify) const {
    const field_reader read{m_logger, "process_notify_PROJECT", "PROJECT"};
    std::string action, uid;
    Json::Value plist;
    if (!read(_j_notify, "action", action) || action != "deleted")
        return;
    if (!read(_j_notify, "plist", plist) || !read(plist, "uid", uid))
        return;
    m_logger.debug("%s uid=\"%s\" is deleted") % "PROJECT" % uid;
    writes().remove_notified(vyr::mirror::tdoa_settings, uid);
    send_context_updated_notification();
}

// Schedules are fetched by the updater: the notification does not carry the rows. The
// updater asks for the cycle once it has written the schedule.
void c_receiver::process_notify_tdoa_schedule(const Json::Value& _j_notify) const {
    const field_reader read{m_logger, "process_notify_tdoa_schedule", "TDOA_SCHEDULE"};
    std::string action, uid;
    Json::Value plist;
    if (!read_envelope(read, _j_notify, action, plist, uid))
        return;
    if (is_change(action)) {
        if (m_updater)
            m_updater->update_object_req(vyr::mirror::tdoa_schedules, uid);
    } else if (action == "deleted") {
        writes().remove_notified(vyr::mirror::tdoa_schedules, uid);
        send_context_updated_notification();
    }
}

void c_receiver::process_notify_tdoa_settings(const Json::Value& _j_notify) const {
    vyr::libs::core::json::validator check("tdoa_settings parse", m_logger, VYR_HERE);
    const bool action_ok = check.is_string(_j_notify, "action", ".");
    const bool plist_ok = check.is_object(_j_notify, "plist", ".");
    if (!action_ok || !plist_ok)
        return;
    const Json::Value& plist = _j_notify["plist"];
    if (!check.is_string(plist, "project_uid", ".plist"))
        return;

    const std::string action = _j_notify["action"].asString();
    const std::string project_uid = plist["project_uid"].asString();
    if (action == "deleted")
        writes().remove_notified(vyr::mirror::tdoa_settings, project_uid);
    else if (is_change(action))
        writes().apply_notified(project_uid, plist);
    else
        return;
    send_context_updated_notification();
}

void c_receiver::process_notify_driver_licenses(const Json::Value& _j_notify) const {
    const field_reader read{m_logger, "process_notify_driver_licenses", "driver_licenses"};
    std::string action, obj_uid;
    Json::Value plist;
    if (!read(_j_notify, "action", action) || !read(_j_notify, "plist", plist) || !read(plist, "obj_uid", obj_uid))
        return;
    const Json::Value& licenses = plist["driver_lic"];
    if (action == "deleted" || !licenses.isArray()) {
        writes().licences_notified(obj_uid, nullptr);
    } else {
        const auto required = vyr::vyrserver::required_licences(read, licenses);
        writes().licences_notified(obj_uid, &required);
    }
    send_context_updated_notification();
}

// A certification that is not required is stored as model 0, not removed.
void c_receiver::process_notify_vehicle_certifications(const Json::Value& _j_notify) const {
    const field_reader read{m_logger, "process_notify_vehicle_certifications", "vehicle_certifications"};
    std::string action, obj_uid;
    Json::Value plist;
    if (!read(_j_notify, "action", action) || !read(_j_notify, "plist", plist) || !read(plist, "obj_uid", obj_uid))
        return;
    if (action == "deleted") {
        writes().vehicle_model_notified(obj_uid, std::nullopt);
    } else {
        unsigned int id = 0;
        bool certification_required = false;
        if (!read(plist, "id", id) || !read(plist, "certification_required", certification_required))
            return;
        writes().vehicle_model_notified(obj_uid, certification_required ? id : 0u);
    }
    send_context_updated_notification();
}

// ---- node announcements ----------------------------------------------------------------------

// An anchor announced itself ("NA") or is alive ("HB"): the sleep mechanism hears of it,
// and the WIN may be sent to at once; after "NA" every parameter is delivered again.
void c_receiver::process_notify_WIN(const Json::Value& _j_notify) const {
    const field_reader read{m_logger, "process_notify_WIN", "WIN"};
    std::string dev_id, mac, action;
    if (!read_announcement(read, _j_notify, dev_id, mac, action))
        return;
    if (action == "HB")
        return handle_heartbeats({heartbeat{mac, dev_id, true}});
    if (action == "NA")
        handle_announcements({heartbeat{mac, dev_id, true}});
}

// A tag announced itself ("NA") or is alive ("HB"). After "NA" the tag knows nothing:
// parameters and alarms are delivered again from scratch and the alarms re-read.
void c_receiver::process_notify_TO(const Json::Value& _j_notify) const {
    const field_reader read{m_logger, "process_notify_TO", "TO"};
    std::string dev_id, mac, action;
    if (!read_announcement(read, _j_notify, dev_id, mac, action))
        return;
    if (action == "HB")
        return handle_heartbeats({heartbeat{mac, dev_id, false}});
    if (action == "NA")
        return handle_announcements({heartbeat{mac, dev_id, false}});
    // Any other action: the device answered.
    vyr::redis::batch writes;
    m_context->get_win(mac).answered(writes);
    vyr::redis::transaction(m_context->redis_context(), writes).exec();
    mark(mac);
}

void c_receiver::handle_announcements(const std::vector<heartbeat>& _announced) const {
    pass_on_anchors<vyr::mail::anchor_announced>(*m_mech_sleep_socket, m_logger, _announced);

    // One transaction: a delivery pass that read a record before it cannot undo it (see
    // win::s_answered).
    vyr::redis::batch writes;
    std::vector<std::string> objects;
    bool tags = false;
    for (const auto& device : _announced) {
        const auto record = m_context->get_win(device.mac);
        record.answered(writes);
        record.del_all_parameters(writes);
        record.announced(writes);
        if (device.anchor)
            continue;
        tags = true;
        record.del_alarms(writes);
        record.alarm_state(vyr::context::alarm_states::NOT_CONFIGURED, writes);
        if (!device.dev_id.empty())
            objects.push_back(device.dev_id);
    }
    vyr::redis::transaction(m_context->redis_context(), writes).exec();
    for (const auto& device : _announced)
        mark(device.mac);
    send_marks();
    if (tags && m_updater)
        m_updater->update_all_alarms_req();
    m_context->undeliver_zone_alarms_of(objects);
}

void c_receiver::handle_heartbeats(const std::vector<heartbeat>& _beats) const {
    pass_on_anchors<vyr::mail::anchor_alive>(*m_mech_sleep_socket, m_logger, _beats);

    // A tag's alarm state is set only where there is none: never over one the alarm
    // worker wrote meanwhile.
    vyr::redis::batch writes;
    std::vector<std::size_t> tags;
    for (std::size_t i = 0; i < _beats.size(); ++i) {
        const auto& beat = _beats[i];
        m_context->get_win(beat.mac).answered(writes);
        if (!beat.anchor) {
            tags.push_back(writes.size());
            writes.add("HSETNX", vyr::context::win::keys::alarm(beat.mac), vyr::context::win::s_state,
                       vyr::context::to_string(vyr::context::alarm_states::NOT_CONFIGURED));
        }
    }
    const auto replies = vyr::redis::transaction(m_context->redis_context(), writes).exec();
    std::vector<bool> state_set(writes.size(), false);
    if (replies.get_type() == vyr::redis::reply_type::ARRAY) {
        std::size_t i = 0;
        replies.as_array().for_each_element([&](const vyr::redis::reply_element& _reply) {
            state_set[i++] = _reply.get_type() == vyr::redis::reply_type::INTEGER && _reply.to_integer() == 1;
            return i < state_set.size();
        });
    }
    std::size_t next_tag = 0;
    for (std::size_t i = 0; i < _beats.size(); ++i) {
        // The first heartbeat of a tag whose alarm state was unknown: it is judged.
        const bool first = !_beats[i].anchor && state_set[tags[next_tag++]];
        mark(_beats[i].mac, !first);
    }
    send_marks();
}
