#include "alloc.h"

#include <cstdlib>

namespace {
thread_local long failCountdown = 0;  // 0 = off; 1 = the next call fails
thread_local long callCount = 0;      // calls since the last reset
}  // namespace

void* qalloc(size_t size) {
    ++callCount;
    if (failCountdown > 0 && --failCountdown == 0) return nullptr;
    return std::malloc(size ? size : 1);
}

void qfree(void* block) { std::free(block); }

void qallocFailAt(long n) { failCountdown = n > 0 ? n : 0; }

long qallocCount() { return callCount; }

void qallocResetCount() { callCount = 0; }
