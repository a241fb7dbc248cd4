#include "core/exception.h"

#include <ostream>
#include <sstream>

namespace vyr::libs::core {

const char* located_exception::what() const noexcept {
    try {
        if (m_what.empty()) {
            std::ostringstream os;
            describe(os);
            m_what = os.str();
        }
        return m_what.c_str();
    } catch (...) {
        return "located_exception";
    }
}

void located_exception::describe(std::ostream& _os) const {
    _os << m_source_location.stripped_file() << ':' << m_source_location.line();
}

void exception::describe(std::ostream& _os) const {
    located_exception::describe(_os);
    _os << ' ' << m_str_error;
}

std::string exception_to_string(const located_exception& _e) {
    std::ostringstream os;
    _e.describe(os);
    return os.str();
}

std::string exception_to_string() {
    try {
        throw;
    } catch (const located_exception& e) {
        return exception_to_string(e);
    } catch (const std::exception& e) {
        return std::string("std::exception::what(): ") + e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

}  // namespace vyr::libs::core
