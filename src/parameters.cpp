#include "parameters.h"

namespace vyr::parameter {

const std::map<parameter_t, std::string> parameters = {
    {TXP, "txp"},
    {TDOA_SCHD, "tdoa_schd"},
    {AL_ZV, "al_zv"},
    {LOC, "loc"},
    {ACC, "acc"},
    {BT, "bt"},
    {SF, "sf"},
    {TDOA_SCHEDULE, "tdoa_schedule"},
    {SYNC_SLOT, "sync_slot"},
    {T2T_CFG, "t2t_cfg"},
    {T2T_NO_ALARM, "t2t_no_alarm"},
    {VEH_CERT, "veh_cert"},
    {DRIVER_LIC, "driver_lic"},
    {NWK_CFG, "nwk_cfg"},
    {EM_ALM, "em_alm"},
    {SCR_NAME, "scr_name"},
    {SCR_GNAME, "scr_gname"},
    {SCR_MESSAGE, "scr_message"},
    {ANCHOR_LOC, "anchor_loc"},
    {STATIONARY, "stationary"},
    {CATEGORY, "category"},
};

const std::map<parameter_states, std::string> parameter_states_strings = {
    {UNKNOWN, "unknown"},
    {NOT_SUPPORTED, "not_supported"},
    {SUPPORTED, "supported"},
};

std::string to_string(parameter_states _state) { return parameter_states_strings.at(_state); }

parameter_states parameter_states_from_string(const std::string& _text) {
    for (const auto& [state, text] : parameter_states_strings)
        if (text == _text)
            return state;
    return UNKNOWN;
}

}  // namespace vyr::parameter
