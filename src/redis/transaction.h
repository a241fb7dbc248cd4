// A transaction: commands sent over one connection between MULTI and EXEC, in one round
// trip, so that other connections see all of their writes or none. Built, sent once and
// dropped by the thread that owns the connection.
#pragma once

#include <utility>

#include "redis/batch.h"
#include "redis/connection.h"
#include "redis/reply.h"

namespace vyr::redis {

class transaction {
public:
    explicit transaction(connection& _connection, batch _commands = {})
        : m_connection(_connection), m_commands(std::move(_commands)) {}

    template <class... Args>
    transaction& add(const Args&... _args) {
        m_commands.add(_args...);
        return *this;
    }
    std::size_t size() const noexcept { return m_commands.size(); }

    // Sends the transaction and returns EXEC's array of the commands' replies. Throws the
    // server_error of the first command refused while queued (unknown, wrong arity) or of
    // the first that failed as it ran (WRONGTYPE: the others ran all the same), and an
    // `aborted` server_error when EXEC answered nil. The commands go with it: a transaction
    // is sent once.
    reply exec();

private:
    connection& m_connection;
    batch m_commands;
};

}  // namespace vyr::redis
