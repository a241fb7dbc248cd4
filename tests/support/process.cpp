#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/json.h"

extern char** environ;

namespace test {

namespace {

struct file_actions {
    posix_spawn_file_actions_t actions;
    file_actions() { posix_spawn_file_actions_init(&actions); }
    ~file_actions() { posix_spawn_file_actions_destroy(&actions); }
};

struct spawn_attributes {
    posix_spawnattr_t attributes;
    spawn_attributes() { posix_spawnattr_init(&attributes); }
    ~spawn_attributes() { posix_spawnattr_destroy(&attributes); }
};

}  // namespace

process::process(const std::string& _program, const std::vector<std::string>& _args)
    : process(_program, _args, options{}) {}

process::process(const std::string& _program, const std::vector<std::string>& _args, const options& _options) {
    std::vector<std::string> texts;
    texts.push_back(_program);
    texts.insert(texts.end(), _args.begin(), _args.end());
    std::vector<char*> argv;
    for (auto& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    file_actions files;
    posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files.actions, STDOUT_FILENO, _options.stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files.actions, STDERR_FILENO, _options.stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!_options.working_directory.empty())
        posix_spawn_file_actions_addchdir_np(&files.actions, _options.working_directory.c_str());

    // The child starts with no blocked signals and default SIGINT/SIGTERM handling, even
    // if the test process blocks or catches them.
    spawn_attributes attributes;
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes.attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes.attributes, &defaults);
    posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const int error = posix_spawn(&m_pid, _program.c_str(), &files.actions, &attributes.attributes, argv.data(), environ);
    if (error != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + _program + ": " + std::strerror(error));
    }
}

process::~process() {
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        reap(true);
    }
}

bool process::reap(bool _block) {
    if (m_status)
        return true;
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(m_pid, &status, _block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done != m_pid)
        return false;
    exit_status result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    m_status = result;
    return true;
}

bool process::running() { return m_pid > 0 && !reap(false); }

bool process::signal(int _signal) {
    if (!running())
        return false;
    return ::kill(m_pid, _signal) == 0;
}

std::optional<exit_status> process::wait(std::chrono::milliseconds _timeout) {
    if (m_pid <= 0)
        return std::nullopt;
    wait_until([this] { return reap(false); }, _timeout);
    return m_status;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    m_path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string read_file(const std::string& _path) {
    std::ifstream in(_path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& _path, const std::string& _content) {
    std::ofstream out(_path, std::ios::binary | std::ios::trunc);
    out << _content;
    if (!out)
        throw std::runtime_error("cannot write " + _path);
}

bool file_exists(const std::string& _path) {
    struct stat info {};
    return ::stat(_path.c_str(), &info) == 0;
}

bool wait_until(const std::function<bool()>& _condition, std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    for (;;) {
        if (_condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return _condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string binary(const std::string& _name) { return std::string(QUORVANE_BINARY_DIR) + "/" + _name; }

std::string write_service_config(const temp_dir& _dir, const service_peers& _peers,
                                 const std::function<void(Json::Value&)>& _change) {
    Json::Value config;
    config["system"]["pidfile"] = _dir.file("rtls-quorvane.pid");
    config["system"]["debug_port"] = _peers.debug;
    config["system"]["local_debug"] = false;
    config["proxy"]["address"] = "127.0.0.1";
    config["proxy"]["output_port"] = _peers.output;
    config["proxy"]["input_port"] = _peers.input;
    config["server"]["protocol"] = "http";
    config["server"]["address"] = "127.0.0.1";
    config["server"]["port"] = _peers.platform;
    config["redis"]["address"] = "127.0.0.1";
    config["redis"]["port"] = _peers.redis;
    if (_change)
        _change(config);
    write_file(_dir.file("config.json"), vyr::libs::core::json::to_string(config));
    return _dir.file("config.json");
}

}  // namespace test
