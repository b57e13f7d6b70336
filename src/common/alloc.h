// Every heap block of a request (the record, its texts, the lookup buffer)
// comes from here, so that a test can make the N-th allocation fail and
// check that each failure is reported and leaves nothing behind.
#pragma once

#include <cstddef>

namespace quodra {

// A block of size bytes, or nullptr when the heap (or the countdown) says no.
void* qalloc(size_t size);
// Releases a block from qalloc; nullptr is ignored.
void qfree(void* block);

// Test hook: the n-th qalloc from now on (1 = the next) on this thread fails,
// and every one after it succeeds again; 0 turns the countdown off.
void qallocFailAt(long n);
// Number of qalloc calls on this thread since the counter was last reset.
long qallocCount();
void qallocResetCount();
// Blocks from qalloc on this thread not yet released with qfree; a test
// compares it before and after to see that nothing was left behind.
long qallocLive();

}  // namespace quodra
