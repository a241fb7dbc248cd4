#include "context/write_batch.h"

#include "context/common.h"
#include "redis/commands.h"
#include "redis/errors.h"
#include "redis/pipeline.h"

namespace vyr::context {

std::size_t write_batch::add_guarded(const std::string& _key, const std::string& _field,
                                     const std::optional<std::string>& _expected, const redis::batch& _writes) {
    if (_writes.empty())
        return s_no_group;
    m_guarded.push_back(m_commands.size());
    m_commands.add_argv(redis::guarded_writes_command(_key, _field, _expected, _writes.commands()));
    return m_guarded.size() - 1;
}

std::size_t write_batch::add(const alarm_state_update& _update) {
    redis::batch writes;
    std::vector<std::string> state{"HMSET", win::keys::alarm(_update.mac), std::string(win::s_state),
                                   to_string(_update.next)};
    if (_update.shown)
        state.insert(state.end(), {std::string(win::s_shown_uid), _update.shown->uid, std::string(win::s_shown_level),
                                   std::to_string(_update.shown->level), std::string(win::s_shown_zone_id),
                                   std::to_string(_update.shown->zone_id)});
    writes.add_argv(std::move(state));
    if (_update.text)
        writes.add("HSET", win::keys::data(_update.mac), win::s_current_text, *_update.text);
    return add_guarded(win::keys::alarm(_update.mac), std::string(win::s_state), to_string(_update.expected), writes);
}

void write_batch::add(const win_update& _update) {
    if (_update.empty())
        return;
    // What was pushed and what the project says: kept also when the device answered
    // meanwhile, for the answer is to this very push (its refusal counts) and a record of
    // an earlier life carries the announce token it was written under.
    for (const auto& [p, must] : _update.musts) {
        const auto key = win::keys::parameters(_update.mac, vyr::parameter::parameters.at(p));
        if (must.empty())
            m_commands.add("HDEL", key, win::s_must);
        else
            m_commands.add("HSET", key, win::s_must, must);
    }
    for (const auto& [p, record] : _update.push_records)
        m_commands.add_argv(win::push_record_command(_update.mac, p, record));
    if (!_update.sent)
        return;
    // The pacing only while no answer reset it since the record was read.
    redis::batch writes;
    writes.add("HMSET", win::keys::data(_update.mac), win::s_sending_counter_sec, std::to_string(_update.sent->tv_sec),
               win::s_sending_counter_usec, std::to_string(_update.sent->tv_usec), win::s_sending_counter,
               std::to_string(_update.sending_counter + 1));
    writes.add("SADD", win::keys::set(), _update.mac);
    add_guarded(win::keys::data(_update.mac), std::string(win::s_answered), _update.answer_token, writes);
}

void write_batch::keep_unanswered(redis::batch _sent, std::size_t _answered) {
    // What answered ran. The rest may or may not have run (a connection lost in the middle
    // of the batch, the server stopping after some of it): it stays to be sent again, which
    // its commands allow, setting values as they do.
    auto commands = _sent.release();
    commands.erase(commands.begin(), commands.begin() + static_cast<std::ptrdiff_t>(_answered));
    if (!redis::resend_safe(commands)) {
        m_guarded.clear();
        return;
    }
    std::vector<std::size_t> guarded;
    for (const auto at : m_guarded)
        if (at >= _answered)
            guarded.push_back(at - _answered);
    m_guarded = std::move(guarded);
    for (auto& command : commands)
        m_commands.add_argv(std::move(command));
}

void write_batch::replay(const std::function<void(const std::vector<std::string>&)>& _handler) const {
    for (const auto& command : m_commands.commands())
        _handler(command);
}

write_batch::result write_batch::send(redis::connection& _redis) {
    result outcome;
    if (m_commands.empty())
        return outcome;
    bool unrun = false;
    std::size_t answered = 0;
    std::vector<redis::reply> replies;
    redis::pipeline writes(_redis, std::exchange(m_commands, {}));
    try {
        replies = writes.exec(unrun, answered);
    } catch (const redis::connection_error&) {
        keep_unanswered(writes.release(), answered);
        throw;
    } catch (...) {
        m_guarded.clear();
        throw;
    }
    for (const auto at : m_guarded) {
        outcome.made.push_back(common::is_one(replies.at(at)));
        if (!outcome.made.back())
            ++outcome.guards_failed;
    }
    m_commands.clear();
    m_guarded.clear();
    return outcome;
}

}  // namespace vyr::context
