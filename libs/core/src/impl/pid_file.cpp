#include "core/pid_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/exception.h"

namespace vyr::libs::core {

pid_file::pid_file(const std::string& _path) {
    // No O_TRUNC: the file of a running instance must keep its pid.
    m_fd = ::open(_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        VYR_THROW("Error opening pid-file!");
    int locked;
    while ((locked = ::flock(m_fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        const int error = errno;
        ::close(m_fd);
        if (error == EWOULDBLOCK)
            VYR_THROW("Process is running");
        VYR_THROW(std::string("pid-file: flock(): ") + std::strerror(error));
    }
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(m_fd, 0) != 0 ||
        ::pwrite(m_fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        ::close(m_fd);
        VYR_THROW("Error writing pid-file!");
    }
}

pid_file::~pid_file() { ::close(m_fd); }

}  // namespace vyr::libs::core
