// Writes to send together in one round trip: plain commands, and guarded groups made only
// while a field of a hash still holds the value the writer read (one compare-and-set on
// the server, so that a decision taken on what was read never overwrites what another
// connection wrote since). A delivery pass gathers what it decided for a chunk of WINs as
// `win_update`s and sends them as one batch; the alarm pass also the compare-and-sets of
// the alarm states it is about to send (`alarm_state_update`), and sends a frame only for
// those the result says were made. A batch is a plain value owned by one
// thread; replay() shows what it would send, for tests.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "context/win.h"
#include "context/win_record.h"
#include "redis/connection.h"

namespace vyr::context {

// What a delivery pass writes to one WIN record after judging it. The sending time and
// counter are made only while the record still holds the answer token it was read with
// (an answer of the device since resets the pacing and wins); the must texts and push
// records always, for an answer that came meanwhile answers this very push.
struct win_update {
    explicit win_update(const win_record& _read)
        : mac(_read.mac_addr()), answer_token(_read.answer_token()), sending_counter(_read.sending_counter()) {}

    std::string mac;
    std::optional<std::string> answer_token;
    // The counter as read: a push writes it plus one (a value, not an increment, so that
    // the group may be sent twice).
    std::uint32_t sending_counter = 0;
    // Must texts to store (an empty text deletes the field).
    std::vector<std::pair<vyr::parameter::parameter_t, std::string>> musts;
    std::vector<std::pair<vyr::parameter::parameter_t, win::push_record>> push_records;
    // Something went out at this time: the sending time, the counter plus one, the MAC in
    // the set of WINs.
    std::optional<timeval> sent;

    bool empty() const noexcept { return musts.empty() && push_records.empty() && !sent; }
};

// The compare-and-set of a WIN's alarm state before a zone alarm or screen text goes out:
// made only while the state is still the one the pass read (`expected`); then the state
// becomes `next` and, when given, the alarm sent and the screen text are recorded.
struct alarm_state_update {
    std::string mac;
    alarm_states expected = alarm_states::UNKNOWN;
    alarm_states next = alarm_states::UNKNOWN;
    std::optional<shown_alarm> shown;
    std::optional<std::string> text;
};

class write_batch {
public:
    // What add_guarded gives for a group with no writes (none is added).
    static constexpr std::size_t s_no_group = static_cast<std::size_t>(-1);

    void add(std::vector<std::string> _argv) { m_commands.add_argv(std::move(_argv)); }
    // `_writes`, made only while field `_field` of hash `_key` holds `_expected` (nothing:
    // while the field is missing); otherwise none of them. The group's number among the
    // guarded groups of the batch (result::made), or s_no_group when `_writes` is empty.
    std::size_t add_guarded(const std::string& _key, const std::string& _field,
                            const std::optional<std::string>& _expected, const redis::batch& _writes);
    // Nothing for an empty update.
    void add(const win_update& _update);
    // As a guarded group; its number, as add_guarded.
    std::size_t add(const alarm_state_update& _update);
    bool empty() const noexcept { return m_commands.empty(); }
    std::size_t size() const noexcept { return m_commands.size(); }
    // Each command as it goes to the server, in order (a guarded group as one script call).
    void replay(const std::function<void(const std::vector<std::string>&)>& _handler) const;

    struct result {
        // Guarded groups not made: their field had changed.
        std::size_t guards_failed = 0;
        // By group number (add_guarded): whether the group was made.
        std::vector<bool> made;
    };
    // Sends everything in one round trip and empties the batch. On a lost connection the
    // error is thrown and what did not answer is kept (all of it when no connection could
    // be made), to be sent again first thing on the next connection: it may or may not
    // have run, and every command here sets values, so a second send leaves what one
    // leaves. The groups kept are numbered anew from the first kept. Any other failure
    // throws and empties the batch.
    result send(redis::connection& _redis);

private:
    // Keeps the commands of `_sent` from the first that did not answer on.
    void keep_unanswered(redis::batch _sent, std::size_t _answered);

    redis::batch m_commands;
    // Positions of the guarded groups among m_commands.
    std::vector<std::size_t> m_guarded;
};

}  // namespace vyr::context
