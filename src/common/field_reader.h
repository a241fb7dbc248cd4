// Typed reads of one JSON document's members for one decoder. Every read forwards to
// get_j_value with the decoder's logger, function and object kind, so a failed read
// leaves the same debug record as a direct call would.
#pragma once

#include <string>

#include <json/json.h>

#include "common/globals.h"

struct field_reader {
    component_logger& logger;
    const std::string func;
    const std::string object;

    template <class T>
    bool operator()(const Json::Value& _j, const std::string& _field, T& _out, const std::string& _uid = {}) const {
        return get_j_value(logger, _j, func, object, _field, _out, _uid);
    }

    // The member "mac_address" normalised by comb_mac; false (after a debug record naming
    // the text _label) when it is absent or rejected.
    bool mac(const Json::Value& _j, std::string& _mac, const std::string& _uid,
             const char* _label = "mac_address") const {
        return (*this)(_j, "mac_address", _mac, _uid) && checked_mac(_mac, _uid, _label);
    }

    bool checked_mac(std::string& _mac, const std::string& _uid, const char* _label = "mac_address") const {
        if (comb_mac(_mac))
            return true;
        logger.debug("%s %s field \"%s\" is not valid (%s)") % object % _uid % _label % _mac;
        return false;
    }
};
