// The exception type the program throws for its own errors: a message plus the source
// location of the throw site (VYR_THROW builds both). exception_to_string() turns any
// exception in flight into one line of text for the log. Immutable once thrown.
#pragma once

#include <exception>
#include <iosfwd>
#include <string>

#include "core/source_location.h"

namespace vyr::libs::core {

class located_exception : public std::exception {
public:
    explicit located_exception(source_location _location) : m_source_location(_location) {}
    ~located_exception() override = default;

    // "file:line" (the file below the source tree); cached on first call.
    const char* what() const noexcept override;
    // Writes "file:line"; derived classes append their message.
    virtual void describe(std::ostream& _os) const;

    const source_location& location() const noexcept { return m_source_location; }

private:
    source_location m_source_location;
    mutable std::string m_what;
};

class exception : public located_exception {
public:
    exception(std::string _message, source_location _location)
        : located_exception(_location), m_str_error(std::move(_message)) {}

    // "file:line message".
    void describe(std::ostream& _os) const override;
    const std::string& message() const noexcept { return m_str_error; }

private:
    std::string m_str_error;
};

// The exception currently handled (call inside a catch block): a located exception's
// description, "std::exception::what(): " + what() for other standard exceptions, and
// "Unknown exception" for anything else.
std::string exception_to_string();
std::string exception_to_string(const located_exception& _e);

}  // namespace vyr::libs::core

#define VYR_THROW(message) throw ::vyr::libs::core::exception((message), VYR_HERE)
