#include "Sha256.h"

namespace kv {

std::string TSha256::HexDigest() {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t byte : Digest()) {
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}

std::string Sha256Hex(const std::string& Data) {
    TSha256 hash;
    hash.Add(Data);
    return hash.HexDigest();
}

} // namespace kv
