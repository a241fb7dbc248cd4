// The end-to-end figures of a site whose devices are in step with the project: the CPU
// the service and redis-server use while nothing changes, the time from a change on the
// platform (an object renamed, announced by its "#notify") to the frame that carries it
// to the device, the time from a change that makes every grouped tag differ to each of
// them having received its push, and the time from SIGTERM to the service's exit. Each
// runs against the service, proxy tap and device simulator of run_end_to_end(), on the
// benchmark's main thread.
#pragma once

#include <chrono>

#include "report.h"
#include "site.h"

namespace vyr::devsim {
class device_sim;
}

namespace bench {

class proxy_tap;
class service;

struct steady_parts {
    site& where;
    service& quorvane;
    proxy_tap& tap;
    vyr::devsim::device_sim& sim;
    bool quick = false;
};

// Waits until no device differs from the project any more (the service's own count) and
// no frame went to a device for a few seconds; a note says so when that did not happen
// within the limit of the site's size.
void wait_in_step(const steady_parts& _parts, size_results& _results);

// Average CPU of the service and of redis-server over a window, in step, as a share of
// one core, from their /proc/<pid>/stat.
void measure_cpu(const steady_parts& _parts, size_results& _results);

// About twenty tags renamed one after the other, each on the platform stand-in and by a
// "#notify" through the proxy: from the notify's send to the frame with the new screen
// name for that device.
void measure_platform_changes(const steady_parts& _parts, size_results& _results);

// Every group renamed at once: from the first "#notify" to the moment the last tag of a
// group has received a frame with its group's new name.
void measure_every_tag_differs(const steady_parts& _parts, size_results& _results);

}  // namespace bench
