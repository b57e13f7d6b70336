// The process-wide options that httpSetOption changes, and the copy of them
// that a call takes when it starts and keeps until it returns.
#pragma once

#include <cstdint>

namespace quodra {

struct CallOptions {
    int boxes;        // 1: errors are shown as message boxes; 0: none is shown
    uint32_t idleMs;  // milliseconds without progress before 10060; 0 = no limit
    int verify;       // 1: an https server's certificate is checked; 0: not
    int maxRedirects; // redirects followed at most; 0: none
};

// The most redirects a call may be told to follow (the largest value of
// QUODRA_OPTION_MAX_REDIRECTS), which keeps a call within its exchanges.
constexpr int MAX_REDIRECTS = 20;

// The options as they stand now. Thread-safe.
CallOptions takeOptions();

}  // namespace quodra
