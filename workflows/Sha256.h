// SHA-256 of file contents, for telling a changed PC file from one whose time alone moved. The
// hashing is the platform's own well-kept library (nettle on Linux, the system's CNG on Windows),
// behind this small interface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace kv {

class TSha256 {
  public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    void Add(const void* Data, size_t Size);
    void Add(const std::string& Data) { Add(Data.data(), Data.size()); }
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

  private:
    struct State; // the library's hashing state, in the platform's part
    std::unique_ptr<State> state_;
    // The 32 bytes of the digest (the platform's part).
    std::array<uint8_t, 32> Digest();
};

// The digest of Data as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& Data);

} // namespace kv
