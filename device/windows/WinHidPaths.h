// The parts of the Windows backend that need no Windows: the path test of enumeration and the
// handling of the string buffers, kept as plain functions so that they are tested anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::winhid {

// "#vid_16d0&" for "#vid_%.04x&" and 0x16D0: the pattern in lower case; empty for a negative id.
std::string PathPattern(const char* format, int id);
// The path test: the lower-cased path holds the vendor pattern ("#vid_16d0&") and the product
// number ("&pid_064e") followed by "#" or by a further qualifier ("&mi_00", "&col01"). Wine's HID
// bus names every hidraw device with the USB interface number ("&mi_00"), so a path that stopped
// at the product number alone would never find the device there; the device test that follows
// (vendor, product and usage page from the device itself) still takes only this device's own
// interface.
bool PathPasses(const std::string& path, int vendorId, int productId);
// A string read into a buffer of Bytes bytes (UTF-16, little endian, ended by a zero unit or by
// the buffer's end).
std::u16string StringFromBuffer(const uint8_t* buffer, size_t bytes);

} // namespace kv::winhid
