// The three errors a read of the project context throws besides the standard ones, so that
// callers tell them apart by type: a record or mandatory field that is not there
// (not_found), a stored or received text that does not read as what it must be
// (bad_data), and the lost Redis connection (connection_lost). Callers that take a
// missing field as "never reported" catch not_found only; a lost connection is never
// taken for missing or bad data. Plain immutable values: any thread may throw and catch them.
#pragma once

#include "core/exception.h"
#include "redis/connection.h"

namespace vyr::context {

// A record or mandatory field that is not there (never written, or deleted): the message
// names the field or getter and the record ("node_idUid: a2").
class not_found : public vyr::libs::core::exception {
public:
    using vyr::libs::core::exception::exception;
};

// The name the record getters have always thrown.
using field_missing = not_found;

// A stored or received text that does not read as what it must be (a number that is not
// one, a message too short for its fields): the message names the field and the record.
class bad_data : public vyr::libs::core::exception {
public:
    using vyr::libs::core::exception::exception;
};

// The Redis connection failed or was lost: the command's outcome is unknown.
using connection_lost = vyr::redis::connection_error;

}  // namespace vyr::context
