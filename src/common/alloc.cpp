#include "common/alloc.h"

#include <cstdlib>

namespace quodra {

namespace {
thread_local long failCountdown = 0;  // 0 = off; 1 = the next call fails
thread_local long callCount = 0;      // calls since the last reset
thread_local long liveBlocks = 0;     // obtained and not yet released
}  // namespace

void* qalloc(size_t size) {
    ++callCount;
    if (failCountdown > 0 && --failCountdown == 0) return nullptr;
    void* block = std::malloc(size ? size : 1);
    if (block) ++liveBlocks;
    return block;
}

void qfree(void* block) {
    if (!block) return;
    --liveBlocks;
    std::free(block);
}

void qallocFailAt(long n) { failCountdown = n > 0 ? n : 0; }

long qallocCount() { return callCount; }

void qallocResetCount() { callCount = 0; }

long qallocLive() { return liveBlocks; }

}  // namespace quodra
