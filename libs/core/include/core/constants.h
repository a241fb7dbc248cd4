// Build constants of the core library, set at static initialisation from the generated
// version source. Read-only; any thread may use them.
#pragma once

namespace vyr::libs::core::constants {
extern const char* const git_version;
extern const char* const git_subversion;
extern const char* const library_name;
extern const char* const project_name;
// Absolute path of the source tree at build time; only its length matters at run time.
extern const char* const source_directory;
}  // namespace vyr::libs::core::constants
