// A pipeline: commands sent over one connection in one round trip, every reply read in
// order so that the connection stays in step, with no promise that other connections
// see them together (a transaction, redis/transaction.h, gives that). Built, sent once
// and dropped by the thread that owns the connection.
#pragma once

#include <utility>
#include <vector>

#include "redis/batch.h"
#include "redis/connection.h"
#include "redis/reply.h"

namespace vyr::redis {

class pipeline {
public:
    explicit pipeline(connection& _connection, batch _commands = {})
        : m_connection(_connection), m_commands(std::move(_commands)) {}

    template <class... Args>
    pipeline& add(const Args&... _args) {
        m_commands.add(_args...);
        return *this;
    }
    std::size_t size() const noexcept { return m_commands.size(); }

    // Sends the commands and returns their replies. After every reply was read, the first
    // error reply throws its server_error. A pipeline that finds its connection closed by
    // the server before any reply came back is sent once more on a new connection when
    // every command of it is safe to send twice (redis/commands.h: not HINCRBY).
    std::vector<reply> exec();
    // The same, telling on a failure whether nothing of it can have run (no connection
    // could be made, or the server had closed it before any reply).
    std::vector<reply> exec(bool& _unrun);
    // The same, telling also how many of the first commands answered (and so ran) before
    // the connection was lost; the others may or may not have run.
    std::vector<reply> exec(bool& _unrun, std::size_t& _answered);
    // The commands, taken back (to keep what a failed exec may not have run).
    batch release() noexcept { return std::exchange(m_commands, {}); }
    // For reads: error replies (a key of another type) are returned in their place for
    // the caller to judge, not thrown; a lost connection still throws.
    std::vector<reply> exec_reads();

private:
    connection& m_connection;
    batch m_commands;
};

}  // namespace vyr::redis
