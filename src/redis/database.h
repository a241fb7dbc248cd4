// The Redis database the service keeps its project mirror and device records in; every
// component, the status tool and the test fixtures select this one.
#pragma once

namespace vyr::redis {

constexpr unsigned int service_database = 11;

}  // namespace vyr::redis
