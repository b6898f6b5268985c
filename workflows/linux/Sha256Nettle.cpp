// SHA-256 by nettle.
#include "workflows/Sha256.h"

#include <nettle/sha2.h>

namespace kv {

struct TSha256::State {
    sha256_ctx context;
};

TSha256::TSha256() : state_(std::make_unique<State>()) {
    sha256_init(&state_->context);
}

TSha256::~TSha256() = default;

void TSha256::Add(const void* Data, size_t Size) {
    sha256_update(&state_->context, Size, static_cast<const uint8_t*>(Data));
}

std::array<uint8_t, 32> TSha256::Digest() {
    std::array<uint8_t, 32> digest{};
    sha256_digest(&state_->context, digest.size(), digest.data());
    return digest;
}

} // namespace kv
