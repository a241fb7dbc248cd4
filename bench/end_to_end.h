// The end-to-end parts of the benchmark, run against the built rtls-quorvane with the
// device simulator standing in for the gateway's proxy and the devices: the latency of
// a parameter request to its "#win" 000F answer, the rate of parameter reports the
// receiver sustains and its Redis commands per report, then with the site in step its
// CPU, changes on the platform to their frames (steady.h), the service's peak memory and
// its time from SIGTERM to exit. Runs on the calling thread (the benchmark's main thread).
#pragma once

#include "report.h"
#include "site.h"

namespace bench {

struct end_to_end_options {
    bool quick = false;
    // Where the service's debug log goes (empty: nowhere).
    std::string service_log;
};

void run_end_to_end(site& _site, const end_to_end_options& _options, size_results& _results);

}  // namespace bench
