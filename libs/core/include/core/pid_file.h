// The pid file that keeps a second instance from starting: check_pid refuses to go on
// while the process named in the file is alive, write_pid records the current process.
// main calls them once at start-up; the file is never removed, a stale one is told from
// a live one by the next start. Plain functions on the file system; any thread.
#pragma once

#include <string>

namespace vyr::libs::core::detail {

// Returns when the file is missing, unreadable, does not start with a positive decimal
// pid, or names a process that no longer exists. Throws vyr::libs::core::exception
// "Process is running" when the process exists (the current process included), and
// "write_pid: kill(): <strerror>" when the check itself fails otherwise (e.g. EPERM).
void check_pid(const std::string& _pid_file);

// Writes getpid() in decimal without a newline, creating or truncating the file. Throws
// vyr::libs::core::exception "Error opening pid-file!" when the file cannot be opened
// and "Error writing pid-file!" when the pid cannot be written.
void write_pid(const std::string& _pid_file);

}  // namespace vyr::libs::core::detail
