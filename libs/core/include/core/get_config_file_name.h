// Command-line parsing of the service: the one option -c names the configuration file.
// Uses the process-wide getopt state, so only one thread may call it at a time (main
// does, once, before any worker exists).
#pragma once

#include <string>

namespace vyr::libs::core {

// Scans the options with getopt and "c:"; the last -c wins and other arguments are
// ignored. Throws vyr::libs::core::exception "Usage: <argv[0]> -c config_file" for an
// unknown option or a -c without its argument, and "The configuration file is not
// defined! Usage: <argv[0]> -c config_file" when no (or an empty) name was given.
// getopt is reset first, so the function may be called more than once.
std::string get_config_file_name(int _argc, char* _argv[]);

}  // namespace vyr::libs::core
