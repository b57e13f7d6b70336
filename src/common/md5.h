// MD5 (RFC 1321), for the Digest answers to servers that still ask for it.
// Not for anything that needs a secure hash: it is here because the
// protocol names it. Fed in pieces of any size; no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quodra {

constexpr int MD5_SIZE = 16;  // bytes of a digest

struct Md5 {
    uint32_t state[4];
    uint64_t length;          // bytes taken so far
    unsigned char block[64];  // the bytes of the block not yet whole
};

void md5Start(Md5* md);
void md5Add(Md5* md, const void* data, size_t len);
// Pads, ends and writes the digest; md must be started again before reuse.
void md5Finish(Md5* md, unsigned char digest[MD5_SIZE]);

}  // namespace quodra
