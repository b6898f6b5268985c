// SHA-256 of file contents, for telling a changed PC file from one whose time alone moved.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kv {

class TSha256 {
  public:
    TSha256();
    void Add(const void* Data, size_t Size);
    void Add(const std::string& Data) { Add(Data.data(), Data.size()); }
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

  private:
    void Block(const uint8_t* Data);
    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t length_ = 0; // bytes added
};

// The digest of Data as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& Data);

} // namespace kv
