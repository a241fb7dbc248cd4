// Where a log record or an exception comes from: line, file and the compiler's pretty
// function signature, captured at the call site with VYR_HERE. A plain value type; the
// views point at string literals, so a location may be copied and kept freely.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vyr::libs::core {

class source_location {
public:
    constexpr source_location(std::int64_t _line, std::string_view _file, std::string_view _function) noexcept
        : m_line(_line), m_file(_file), m_function(_function) {}

    std::int64_t line() const noexcept { return m_line; }
    std::string_view file() const noexcept { return m_file; }
    std::string_view function() const noexcept { return m_function; }

    // The file below the source tree, with a leading slash (e.g. "/src/receiver.cpp").
    std::string_view stripped_file() const noexcept { return remove_directory_prefix(m_file); }

    // "vyr::updater::thread_body" for "void vyr::updater::thread_body()"; the whole
    // signature when it names nothing inside the vyr namespace.
    std::string short_function() const;

    // The path below the build's source directory, with its leading slash; empty for a
    // path outside it.
    static std::string_view remove_directory_prefix(std::string_view _path) noexcept;

private:
    std::int64_t m_line;
    std::string_view m_file;
    std::string_view m_function;
};

}  // namespace vyr::libs::core

#define VYR_HERE ::vyr::libs::core::source_location(__LINE__, __FILE__, __PRETTY_FUNCTION__)
