#include "core/pid_file.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "core/exception.h"

namespace vyr::libs::core::detail {

void check_pid(const std::string& _pid_file) {
    long long pid = 0;
    {
        std::ifstream in(_pid_file);
        if (!in)
            return;
        // An empty file or one that does not start with a number leaves 0.
        in >> pid;
    }
    // Only a positive number names a process: kill() would take 0 as our own process
    // group, a negative number as another group and -1 as every process there is.
    if (pid <= 0 || pid != static_cast<pid_t>(pid))
        return;
    if (::kill(static_cast<pid_t>(pid), 0) == 0)
        VYR_THROW("Process is running");
    const int error = errno;
    if (error == ESRCH)
        return;
    VYR_THROW(std::string("write_pid: kill(): ") + std::strerror(error));
}

void write_pid(const std::string& _pid_file) {
    std::ofstream out(_pid_file, std::ios::out | std::ios::trunc);
    if (!out)
        VYR_THROW("Error opening pid-file!");
    out << ::getpid();
    out.close();
    if (!out)
        VYR_THROW("Error writing pid-file!");
}

}  // namespace vyr::libs::core::detail
