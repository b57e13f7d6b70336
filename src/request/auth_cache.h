// What a call learnt about answering an origin's challenges, kept for the
// later calls of the process to the same origin with the same user, so that
// they answer at once instead of paying the 401 round trip again: that the
// origin takes Basic, or the Digest challenge (realm, nonce, opaque,
// algorithm, qop) with the last nonce count sent. Never a password.
//
// Process-wide and thread-safe (one lock, never held across a message box);
// bounded to AUTH_CACHE_ENTRIES, the least recently used going first. An
// entry is one qalloc block; entries outlive the calls that made them (and
// may be released by another thread than the one that made them, which
// qallocLive, counting per thread, sees as one block more here and one
// less there), and clearAuthCache releases them all.
#pragma once

#include <cstdint>

#include "request/challenge.h"

namespace quodra {

constexpr int AUTH_CACHE_ENTRIES = 32;

// Where credentials belong: scheme, host (compared in any case) and port.
struct AuthOrigin {
    bool secure;       // https
    const char* host;
    uint16_t port;
};

// Keeps ch (Basic or Digest) for origin and user in place of what was kept,
// with nc the nonce count last sent with its nonce. False when memory ran
// out ("new failed: authcache" shown; what was kept is gone, so that a
// later call asks afresh).
bool rememberAuth(const AuthOrigin& origin, const char* user, const Challenge& ch, uint32_t nc);

enum class AuthRecall { Found, None, NoMemory };

// What is kept for origin and user: a copy in *ch (emptied first, owned by
// the caller) and, for Digest with qop, in *nc the next nonce count, taken
// under the lock so that no two calls send the same one. A nonce whose
// count would pass 0xffffffff is forgotten (None). NoMemory: "new failed:
// challenge" shown.
AuthRecall recallAuth(const AuthOrigin& origin, const char* user, Challenge* ch, uint32_t* nc);

// Forgets what is kept for origin and user (its answer was refused).
void forgetAuth(const AuthOrigin& origin, const char* user);
// Forgets everything.
void clearAuthCache();
// Entries kept now.
int authCacheSize();

}  // namespace quodra
