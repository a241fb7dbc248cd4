// The in-process parts of the benchmark, run with Google Benchmark against one site: the
// Redis floor, the platform fetch and full mirror refresh of the updater, and the
// delivery pass of the parameter-request mechanism with every WIN in step and with every
// WIN differing. Everything runs on the calling thread (the benchmark's main thread).
#pragma once

#include "core/logger.h"
#include "report.h"
#include "site.h"

namespace bench {

struct inprocess_options {
    int refresh_iterations = 2;
    int pass_iterations = 2;
    // Google Benchmark's own progress lines go here (the table goes to standard output).
    std::ostream* progress = nullptr;
};

// Runs every in-process benchmark on `_site` and stores its figures in `_results`.
void run_inprocess(site& _site, vyr::libs::core::component_logger& _logger, const inprocess_options& _options,
                   size_results& _results);

}  // namespace bench
