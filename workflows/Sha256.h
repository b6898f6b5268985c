// SHA-256 (FIPS 180-4) of bytes in memory, for the records of what was loaded into a device.
#pragma once

#include <string>

namespace kv {

// The digest of Bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::string& Bytes);

} // namespace kv
