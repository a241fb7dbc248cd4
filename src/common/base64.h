// Standard Base64 (RFC 4648 alphabet with "+" and "/"). Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

std::string base64_encode(const unsigned char* _bytes_to_encode, std::size_t _in_len);
// Blanks, tabs, CR and LF are skipped (text wrapped at 76 characters decodes whole). The
// data ends at the first "=" (padding) or at any other character outside the alphabet; a
// final group of two or three characters yields one or two bytes. The bytes are returned
// in a string. When `_cut_at` is given it receives the position of the first character
// that was left undecoded (a foreign character, or data after the padding), or
// std::string::npos when the whole text was decoded, for the caller to report.
std::string base64_decode(const std::string& _encoded, std::size_t* _cut_at = nullptr);
