// SHA-256 (FIPS 180-4), for the Digest answers that name it. Fed in pieces
// of any size; no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quodra {

constexpr int SHA256_SIZE = 32;  // bytes of a digest

struct Sha256 {
    uint32_t state[8];
    uint64_t length;          // bytes taken so far
    unsigned char block[64];  // the bytes of the block not yet whole
};

void sha256Start(Sha256* sha);
void sha256Add(Sha256* sha, const void* data, size_t len);
// Pads, ends and writes the digest; sha must be started again before reuse.
void sha256Finish(Sha256* sha, unsigned char digest[SHA256_SIZE]);

}  // namespace quodra
