// Standard Base64 (RFC 4648 alphabet with "+" and "/"). Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

std::string base64_encode(const unsigned char* _bytes_to_encode, std::size_t _in_len);
// Stops at the first "=" or character outside the alphabet; a final group of two or
// three characters yields one or two bytes. The bytes are returned in a string.
std::string base64_decode(const std::string& _encoded);
