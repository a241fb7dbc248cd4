// How each reported parameter is stored on the WIN record: the store functions the
// parameter descriptions name (descriptions.cpp), one per parameter. Each writes only to
// the report writes of its target, on the thread that owns them (the receiver's).
#pragma once

#include <json/json.h>

#include "judge/descriptions.h"

namespace vyr::judge {

// A value-class parameter: its reported value as the class's JSON text.
template <class Value, vyr::parameter::parameter_t P>
bool store_value(const report_target& _target, const Json::Value& _value) {
    _target.device.parameter_actual(P, Value(_value, _target.logger).to_json_string());
    return true;
}

bool store_sf(const report_target& _target, const Json::Value& _value);
bool store_em_alm(const report_target& _target, const Json::Value& _value);
bool store_sync_slot(const report_target& _target, const Json::Value& _value);
bool store_t2t_cfg(const report_target& _target, const Json::Value& _value);
bool store_t2t_no_alarm(const report_target& _target, const Json::Value& _value);
bool store_stationary(const report_target& _target, const Json::Value& _value);
bool store_category(const report_target& _target, const Json::Value& _value);
bool store_loc(const report_target& _target, const Json::Value& _value);
bool store_al_zv(const report_target& _target, const Json::Value& _value);
bool store_scr_message(const report_target& _target, const Json::Value& _value);

}  // namespace vyr::judge
