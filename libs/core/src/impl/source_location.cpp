#include "core/source_location.h"

#include <cstring>

#include "core/constants.h"

namespace vyr::libs::core {

std::string source_location::short_function() const {
    const std::string_view signature = m_function;
    static constexpr std::string_view prefix = "vyr::";
    const auto paren = signature.find('(');
    if (paren == std::string_view::npos || signature.size() < prefix.size())
        return std::string(signature);
    const auto from = std::min(paren, signature.size() - prefix.size());
    const auto start = signature.rfind(prefix, from);
    if (start == std::string_view::npos || start >= paren)
        return std::string(signature);
    return std::string(signature.substr(start, paren - start));
}

std::string_view source_location::remove_directory_prefix(std::string_view _path) noexcept {
    const auto prefix_length = std::strlen(constants::source_directory);
    if (_path.size() <= prefix_length)
        return {};
    return _path.substr(prefix_length);
}

}  // namespace vyr::libs::core
