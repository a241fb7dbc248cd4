#include "runtime/worker_thread.h"

#include <cerrno>
#include <exception>
#include <list>
#include <utility>

#include <zmq.hpp>

#include "common/globals.h"
#include "core/exception.h"
#include "core/mutex.h"
#include "runtime/mailboxes.h"
#include "runtime/pipe.h"

namespace vyr {

namespace {

// The last beat of each running loop.
struct beat_board {
    struct entry {
        std::string name;
        std::chrono::steady_clock::time_point last;
    };
    libs::core::mutex mutex;
    std::list<entry> entries VYR_GUARDED_BY(mutex);
};

beat_board& board() {
    static beat_board s_board;
    return s_board;
}

// A loop's entry on the board, from the start of its thread to its end.
class heartbeat {
public:
    explicit heartbeat(const std::string& _name) : m_board(board()) {
        libs::core::mutex_lock lock(m_board.mutex);
        m_entry = m_board.entries.insert(m_board.entries.end(), {_name, std::chrono::steady_clock::now()});
    }
    ~heartbeat() {
        libs::core::mutex_lock lock(m_board.mutex);
        m_board.entries.erase(m_entry);
    }
    heartbeat(const heartbeat&) = delete;
    heartbeat& operator=(const heartbeat&) = delete;

    void beat() {
        libs::core::mutex_lock lock(m_board.mutex);
        m_entry->last = std::chrono::steady_clock::now();
    }

private:
    beat_board& m_board;
    std::list<beat_board::entry>::iterator m_entry;
};

}  // namespace

std::vector<std::string> worker_thread::stalled(std::chrono::steady_clock::duration _limit) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::string> names;
    auto& b = board();
    libs::core::mutex_lock lock(b.mutex);
    for (const auto& entry : b.entries)
        if (now - entry.last > _limit)
            names.push_back(entry.name);
    return names;
}

std::size_t worker_thread::loops_running() {
    auto& b = board();
    libs::core::mutex_lock lock(b.mutex);
    return b.entries.size();
}

worker_thread::worker_thread(std::string _name, vyr::libs::core::component_logger& _logger,
                             std::function<void()> _stop)
    : m_name(std::move(_name)), m_logger(_logger), m_stop(std::move(_stop)) {}

worker_thread::~worker_thread() { stop(); }

void worker_thread::start(loop _loop) {
    m_thread = std::thread([this, work = std::move(_loop)] { run(work); });
}

void worker_thread::stop() {
    if (!m_thread.joinable())
        return;
    m_stop();
    m_thread.join();
}

worker_thread::outcome worker_thread::guard(const std::function<void()>& _work) const {
    try {
        _work();
        return outcome::done;
    } catch (const end_of_thread&) {
        return outcome::ended;
    } catch (const zmq::error_t& e) {
        // A terminated context can never deliver another command: end instead of spinning
        // on the error.
        if (e.num() == ETERM) {
            m_logger.error("%1%: ZeroMQ context terminated, thread ends").location(VYR_HERE) % m_name;
            return outcome::ended;
        }
        m_logger.log_exception(VYR_HERE);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return outcome::failed;
}

void worker_thread::run(const loop& _loop) const {
    heartbeat heart(m_name);
    bool opened = false;
    std::string failure;
    try {
        opened = _loop.open();
    } catch (const vyr::libs::core::exception& e) {
        m_logger.log_exception(VYR_HERE);
        failure = ": " + e.message();
    } catch (const std::exception& e) {
        m_logger.log_exception(VYR_HERE);
        failure = std::string(": ") + e.what();
    }
    if (!opened) {
        // The whole service stops, and it ends with a failure status, so that a service
        // manager restarts it.
        stop_on_failure(m_name + " could not start" + failure);
        return;
    }
    for (;;) {
        heart.beat();
        bool go_on = true;
        const outcome result = guard([&] { go_on = _loop.pass(); });
        heart.beat();
        switch (result) {
            case outcome::done:
                if (!go_on)
                    return;
                break;
            case outcome::failed:
                if (_loop.after_failure && !_loop.after_failure())
                    return;
                break;
            case outcome::ended:
                return;
        }
    }
}

void worker_thread::send_stop(zmq::context_t& _context, const std::string& _endpoint) {
    // A terminated context ends the thread by itself (ETERM).
    // Every mailbox takes the stop.
    std::string frame;
    (void)mail::encode(mail::stop{}, frame);
    pipe::send_once(_context, _endpoint, frame);
}

}  // namespace vyr
