// The pid file that keeps a second instance from starting. A running instance holds an
// exclusive flock on the file for its whole life, and the lock, not the pid written in
// it, tells a live instance from a stale file: a file nobody has locked is stale whatever
// pid it holds (our own after a restart in a fresh pid namespace, or one that now belongs
// to another process or user). The pid is written for the operator and service managers.
// The file is never removed. main holds one object from start-up to its return.
#pragma once

#include <string>

namespace vyr::libs::core {

class pid_file {
public:
    // Opens (or creates) the file, takes the lock without waiting, and writes getpid() in
    // decimal without a newline in place of whatever the file held. Throws
    // vyr::libs::core::exception "Process is running" when another open file holds the
    // lock (the file is left as it was), "Error opening pid-file!" when the file cannot be
    // opened, "Error writing pid-file!" when the pid cannot be written, and
    // "pid-file: flock(): <strerror>" when the lock cannot be had for another reason.
    explicit pid_file(const std::string& _path);
    // Closes the file, which releases the lock; the file and its pid stay.
    ~pid_file();
    pid_file(const pid_file&) = delete;
    pid_file& operator=(const pid_file&) = delete;

private:
    int m_fd = -1;
};

}  // namespace vyr::libs::core
