// The parts of the Windows backend that need no Windows: the path test of enumeration and the
// handling of the string buffers, kept as plain functions so that they are tested anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::winhid {

// "#vid_16d0&" for "#vid_%.04x&" and 0x16D0: the pattern in lower case; empty for a negative id.
std::string PathPattern(const char* format, int id);
// The path test: the lower-cased path holds the vendor pattern and the product pattern (each when
// given). The product number must be followed by "#", so an interface of a composite device
// ("&mi_00") or of several top-level collections ("&col01") is not taken.
bool PathPasses(const std::string& path, int vendorId, int productId);
// A string read into a buffer of Bytes bytes (UTF-16, little endian, ended by a zero unit or by
// the buffer's end).
std::u16string StringFromBuffer(const uint8_t* buffer, size_t bytes);

} // namespace kv::winhid
