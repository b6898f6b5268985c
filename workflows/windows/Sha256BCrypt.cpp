// SHA-256 by the system's own hashing (CNG, bcrypt.dll).
#include "workflows/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <stdexcept>

namespace kv {

struct TSha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

TSha256::TSha256() : state_(std::make_unique<State>()) {
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(
            BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0)))
        throw std::runtime_error("the system's SHA-256 cannot be used");
}

TSha256::~TSha256() = default;

void TSha256::Add(const void* Data, size_t Size) {
    // In pieces the call's length can hold.
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(Data));
    while (Size > 0) {
        const ULONG piece = Size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(Size);
        BCryptHashData(state_->hash, bytes, piece, 0);
        bytes += piece;
        Size -= piece;
    }
}

std::array<uint8_t, 32> TSha256::Digest() {
    std::array<uint8_t, 32> digest{};
    BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    return digest;
}

} // namespace kv
