// Commands to be sent together, each given as its arguments: a plain value that record
// writers append to and a pipeline or transaction (redis/pipeline.h, redis/transaction.h)
// then sends. Also the one command that makes a group of writes as a compare-and-set. A
// batch belongs to whoever built it; nothing here touches a connection.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vyr::redis {

class batch {
public:
    template <class... Args>
    batch& add(const Args&... _args) {
        std::vector<std::string> argv;
        argv.reserve(sizeof...(Args));
        (argv.push_back(to_argument(_args)), ...);
        m_commands.push_back(std::move(argv));
        return *this;
    }
    batch& add_argv(std::vector<std::string> _argv) {
        m_commands.push_back(std::move(_argv));
        return *this;
    }
    // Appends every command of `_other`.
    batch& append(const batch& _other) {
        m_commands.insert(m_commands.end(), _other.m_commands.begin(), _other.m_commands.end());
        return *this;
    }
    std::size_t size() const noexcept { return m_commands.size(); }
    bool empty() const noexcept { return m_commands.empty(); }
    const std::vector<std::vector<std::string>>& commands() const noexcept { return m_commands; }
    void clear() noexcept { m_commands.clear(); }
    // The commands themselves, taken out: the batch is left empty.
    std::vector<std::vector<std::string>> release() noexcept { return std::exchange(m_commands, {}); }

private:
    template <class T>
    static std::string to_argument(const T& _argument) {
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
            return std::to_string(_argument);
        else
            return std::string(std::string_view(_argument));
    }

    std::vector<std::vector<std::string>> m_commands;
};

// One script call that makes `_writes` only while field `_field` of hash `_key` holds
// `_expected` (nothing: while the field is missing); it returns 1 when they were made,
// 0 when the field had changed. A compare-and-set of a group of writes in one command,
// safe to send twice as long as the writes set values rather than add to them.
std::vector<std::string> guarded_writes_command(const std::string& _key, const std::string& _field,
                                                const std::optional<std::string>& _expected,
                                                const std::vector<std::vector<std::string>>& _writes);

}  // namespace vyr::redis
