#include "platform/updater_writes.h"

namespace vyr::mirror {

void apply(context::tdoa_setting& _record, const Json::Value& _settings) { _record.update(_settings); }

void apply_licences(context::track_obj& _record, const std::set<std::uint32_t>* _required) {
    if (_required)
        _record.update_driver_licenses(*_required);
    else
        _record.remove_driver_licenses();
}

void apply_vehicle_model(context::track_obj& _record, std::optional<std::uint32_t> _model) {
    if (_model)
        _record.update_vehicle_model(*_model);
    else
        _record.remove_vehicle_model();
}

template <class Write>
void event_writes::event(kind _kind, const std::string& _uid, Write&& _write) {
    if (m_events)
        m_events->event(_kind, _uid, _write);
    else
        _write();
}

void event_writes::apply_notified(const std::string& _uid, const vyrserver::anchor& _object) {
    auto record = m_context.get_anchor(_uid);
    event(anchors, _uid, [&] { apply(record, _object); });
}

void event_writes::apply_notified(const std::string& _uid, const vyrserver::track_obj& _object) {
    auto record = m_context.get_track_obj(_uid);
    event(track_objs, _uid, [&] { apply(record, _object); });
}

void event_writes::apply_notified(const std::string& _uid, const vyrserver::group& _object) {
    auto record = m_context.get_group(_uid);
    event(groups, _uid, [&] { apply(record, _object); });
}

void event_writes::apply_notified(const std::string& _uid, const vyrserver::zone& _object) {
    auto record = m_context.get_zone(_uid);
    event(zones, _uid, [&] { apply(record, _object); });
}

void event_writes::apply_notified(const std::string& _uid, const vyrserver::sublocation& _object) {
    auto record = m_context.get_sublocation(_uid);
    event(sublocations, _uid, [&] { apply(record, _object); });
}

void event_writes::apply_notified(const std::string& _uid, const vyrserver::alarm& _object) {
    auto record = m_context.get_alarm(_uid);
    event(alarms, _uid, [&] { apply(record, _object); });
}

void event_writes::apply_notified(const std::string& _project_uid, const Json::Value& _settings) {
    auto record = m_context.get_tdoa_setting(_project_uid);
    event(tdoa_settings, _project_uid, [&] { apply(record, _settings); });
}

void event_writes::licences_notified(const std::string& _obj_uid, const std::set<std::uint32_t>* _required) {
    auto record = m_context.get_track_obj(_obj_uid);
    event(licenses, _obj_uid, [&] { apply_licences(record, _required); });
}

void event_writes::vehicle_model_notified(const std::string& _obj_uid, std::optional<std::uint32_t> _model) {
    auto record = m_context.get_track_obj(_obj_uid);
    event(certifications, _obj_uid, [&] { apply_vehicle_model(record, _model); });
}

bool event_writes::remove_notified(kind _kind, const std::string& _uid) {
    bool removed = true;
    const auto remove = [&](auto _record) { event(_kind, _uid, [&] { _record.remove(); }); };
    switch (_kind) {
        case anchors: remove(m_context.get_anchor(_uid)); break;
        case track_objs: remove(m_context.get_track_obj(_uid)); break;
        case groups: remove(m_context.get_group(_uid)); break;
        case zones: remove(m_context.get_zone(_uid)); break;
        case sublocations: remove(m_context.get_sublocation(_uid)); break;
        case tdoa_schedules: remove(m_context.get_tdoa_schedule(_uid)); break;
        case tdoa_settings: remove(m_context.get_tdoa_setting(_uid)); break;
        case alarms: {
            auto alarm = m_context.get_alarm(_uid);
            event(alarms, _uid, [&] {
                if ((removed = alarm.exists()))
                    alarm.remove();
            });
            break;
        }
        case kind_count:  // licences and certifications: see licences_notified, vehicle_model_notified
        case certifications:
        case event_kind_count: removed = false; break;
    }
    return removed;
}

}  // namespace vyr::mirror
