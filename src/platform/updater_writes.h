// The updater's writes of project records into the mirror: the one place that says how
// each decoded thing (an object, a TDOA setting, licences, a vehicle model, an alarm) is
// written into its record or removed. Two writers use them. The updater's refreshes
// (updater_kinds.cpp) write an answer's objects through the record functions, each under
// mirror::events::answer. The receiver writes what notifications and alarm messages say
// through an event_writes, each write an event (mirror::events::event), so that no answer
// to a refresh asked for before it undoes it. A write goes through the record it is
// given, so on the caller's own Redis connection; an event_writes belongs to the thread
// that owns the context it was given, and is made for the work at hand.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include <json/json.h>

#include "context/context.h"
#include "platform/decoders.h"
#include "platform/mirror_events.h"

namespace vyr::mirror {

// ---- one record ----------------------------------------------------------------------------

// The objects: anchor, trackable object, group, zone, sublocation, TDOA schedule, alarm.
using vyrserver::apply;
// A project's TDOA setting, as the platform gives it.
void apply(context::tdoa_setting& _record, const Json::Value& _settings);
// The licences of an object that require certification; none: the record's are removed.
void apply_licences(context::track_obj& _record, const std::set<std::uint32_t>* _required);
// The model an object's vehicle is certified for (0: no certification required); none:
// the record's is removed.
void apply_vehicle_model(context::track_obj& _record, std::optional<std::uint32_t> _model);

// ---- events ---------------------------------------------------------------------------------

class event_writes {
public:
    // Writes into the records of `_context`, each as an event of `_events`; without events
    // (no updater) at once.
    event_writes(context::context& _context, events* _events) : m_context(_context), m_events(_events) {}

    // The decoded object written into the record of `_uid`.
    void apply_notified(const std::string& _uid, const vyrserver::anchor& _object);
    void apply_notified(const std::string& _uid, const vyrserver::track_obj& _object);
    void apply_notified(const std::string& _uid, const vyrserver::group& _object);
    void apply_notified(const std::string& _uid, const vyrserver::zone& _object);
    void apply_notified(const std::string& _uid, const vyrserver::sublocation& _object);
    void apply_notified(const std::string& _uid, const vyrserver::alarm& _object);
    // The TDOA setting of project `_project_uid`.
    void apply_notified(const std::string& _project_uid, const Json::Value& _settings);
    // Licences and vehicle model of trackable object `_obj_uid` (see apply_licences and
    // apply_vehicle_model).
    void licences_notified(const std::string& _obj_uid, const std::set<std::uint32_t>* _required);
    void vehicle_model_notified(const std::string& _obj_uid, std::optional<std::uint32_t> _model);
    // Removes the record of `_uid` of `_kind` (one of the kinds the updater refreshes); an
    // alarm only when it is there, which is looked at within the event. Whether it removed.
    bool remove_notified(kind _kind, const std::string& _uid);

private:
    template <class Write>
    void event(kind _kind, const std::string& _uid, Write&& _write);

    context::context& m_context;
    events* const m_events;
};

}  // namespace vyr::mirror
