// How a certificate's DNS name is matched to the host asked for, for a
// backend that checks names itself (Windows: SChannel's own check would
// fall back to the subject's common name). Shared beside the backends, so
// that it is tested on every platform.
#pragma once

#include <cstddef>

namespace plat {

// True when pattern, a DNS entry of a certificate's subject alternative
// names (len bytes), stands for host (RFC 9525): the same name in any ASCII
// case, or a "*." pattern whose wildcard is the whole leftmost label and
// stands for exactly one label of host, with at least two labels after it
// ("*.example.com" names a.example.com, not example.com, a.b.example.com,
// nor is "*.com" a pattern). Anything else matches nothing.
bool certNameMatches(const char* pattern, size_t len, const char* host);

}  // namespace plat
