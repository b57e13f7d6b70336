// The process-wide options that httpSetOption changes, and the copy of them
// that a call takes when it starts and keeps until it returns.
#pragma once

#include <cstdint>

namespace quodra {

struct CallOptions {
    int boxes;        // 1: errors are shown as message boxes; 0: none is shown
    uint32_t idleMs;  // milliseconds without progress before 10060; 0 = no limit
    int verify;       // 1: an https server's certificate is checked; 0: not
    int keep;         // 1: the old output stays until the new one is whole
    int failOnError;  // 1: a status of 400 or more ends the call with 13
    int resume;       // 1: a GET asks for the rest of its output file only
    int onlyIfNewer;  // 1: a GET asks for a file newer than its output file only
    int keepAlive;    // 1: HTTP/1.1, and the connection may be kept for the next call
    int maxRedirects; // redirects followed at most; 0: none
    uint32_t timeLimitMs;  // milliseconds the whole call may take; 0 = no limit
};

// The most redirects a call may be told to follow (the largest value of
// QUODRA_OPTION_MAX_REDIRECTS), which keeps a call within its exchanges.
constexpr int MAX_REDIRECTS = 20;

// The options as they stand now. Thread-safe.
CallOptions takeOptions();

}  // namespace quodra
