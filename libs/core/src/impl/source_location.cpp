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
    const std::string_view source_directory = constants::source_directory;
    if (_path.substr(0, source_directory.size()) == source_directory)
        return _path.substr(source_directory.size());
    // A compiler launcher that rewrites paths relative to the build folder (ccache with
    // base_dir) gives "../src/x.cpp": the part after the leading "../" steps is the same.
    std::size_t start = 0;
    while (_path.substr(start, 3) == "../")
        start += 3;
    if (start > 0)
        return _path.substr(start - 1);
    return {};
}

}  // namespace vyr::libs::core
