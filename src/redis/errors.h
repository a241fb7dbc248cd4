// How a Redis command can fail, as types: the connection failed (`connection_error`, its
// cause; `auth_error` when the server refused the credentials), or the server answered
// with an error reply (`server_error`, its kind read from the reply's first word). Every
// failure of the client is built here, so that the rules telling them apart are in one
// place; callers catch the type they can handle. Plain values, usable from any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/exception.h"

namespace vyr::redis {

// The connection failed, as opposed to the server answering with an error: it could not
// be made, the server closed it, a command timed out, or reading or writing failed. The
// message is "Connection error: ..." (connecting) or "Command: <word>, error: ...".
class connection_error : public vyr::libs::core::exception {
public:
    enum class cause {
        closed,   // closed by the server: end of file, reset, broken pipe; or, under
                  // Sentinel, dropped on a READONLY reply (the master was demoted)
        timeout,  // no answer within the connect or command time-out
        io,       // any other failed read, write or connect
        other,    // hiredis gave up for another reason (protocol, memory, address)
        auth,     // the server refused the credentials or wants some (auth_error)
    };

    connection_error(cause _cause, std::string _message, vyr::libs::core::source_location _location)
        : exception(std::move(_message), _location), m_cause(_cause) {}

    cause reason() const noexcept { return m_cause; }

private:
    cause m_cause;
};

// The server refused the credentials (WRONGPASS, or an AUTH error reply) or asks for
// some that were not given (NOAUTH). Handled like a server that is down: the password may
// be set right on the server while the client retries. The message is "Connection error: "
// + the server's reply (which never repeats the password) and the user name, if any.
class auth_error : public connection_error {
public:
    auth_error(std::string _message, vyr::libs::core::source_location _location)
        : connection_error(cause::auth, std::move(_message), _location) {}
};

// The server answered a command with an error reply; the connection is still good. The
// message is "Command: <word>, error: <reply>".
class server_error : public vyr::libs::core::exception {
public:
    enum class kind {
        wrong_type,  // WRONGTYPE: the key holds another type
        read_only,   // READONLY: the server is a replica
        no_auth,     // NOAUTH, WRONGPASS: the connection is not logged in
        no_perm,     // NOPERM: the user may not run the command or touch the key
        loading,     // LOADING: the server is loading its data
        busy,        // BUSY: a script runs too long
        no_script,   // NOSCRIPT: EVALSHA of an unknown script
        aborted,     // EXECABORT, or EXEC answered nil: the transaction did not run
        other,       // ERR and anything else: the command itself is wrong
    };

    server_error(kind _kind, std::string _message, vyr::libs::core::source_location _location)
        : exception(std::move(_message), _location), m_kind(_kind) {}

    kind what_kind() const noexcept { return m_kind; }

private:
    kind m_kind;
};

// The kind of an error reply's text.
server_error::kind classify_error_reply(std::string_view _reply);
// Throws the server_error of error reply `_reply` to command `_command`.
[[noreturn]] void throw_error_reply(std::string_view _command, const std::string& _reply,
                                    vyr::libs::core::source_location _location);

}  // namespace vyr::redis
