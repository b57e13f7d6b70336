#include "request/auth_cache.h"

#include <cstring>
#include <mutex>

#include "common/alloc.h"
#include "common/text.h"
#include "common/token.h"

namespace quodra {

namespace {

struct Entry {
    char* block;        // null: a free slot. host, user, realm, nonce, opaque,
                        // each NUL-terminated, one after the other
    uint64_t lastUse;   // larger = used more recently
    bool secure;
    uint16_t port;
    AuthScheme scheme;
    DigestHash hash;
    bool session;
    bool qop;
    bool hasOpaque;
    uint32_t nc;        // the nonce count last given out
};

std::mutex lock;                      // guards the two below
Entry entries[AUTH_CACHE_ENTRIES];
uint64_t uses = 0;

const char* skip(const char* text) { return text + std::strlen(text) + 1; }

// The entry for origin and user, or null. Under the lock.
Entry* find(const AuthOrigin& origin, const char* user) {
    for (Entry& e : entries) {
        if (!e.block || e.secure != origin.secure || e.port != origin.port) continue;
        const char* host = e.block;
        if (sameNoCase(host, static_cast<int>(std::strlen(host)), origin.host) &&
            std::strcmp(skip(host), user) == 0)
            return &e;
    }
    return nullptr;
}

// Empties e and gives back its block, to be released outside the lock.
char* take(Entry* e) {
    char* block = e->block;
    *e = Entry{};
    return block;
}

const char* orEmpty(const char* text) { return text ? text : ""; }

}  // namespace

bool rememberAuth(const AuthOrigin& origin, const char* user, const Challenge& ch, uint32_t nc) {
    if (!origin.host || !user || ch.scheme == AuthScheme::None) return false;
    const char* texts[] = {origin.host, user, orEmpty(ch.realm), orEmpty(ch.nonce),
                           orEmpty(ch.opaque)};
    size_t size = 0;
    for (const char* t : texts) size += std::strlen(t) + 1;
    // Made before the lock is taken, so that a box never waits under it.
    char* block = static_cast<char*>(qalloc(size));
    if (block) {
        char* at = block;
        for (const char* t : texts) {
            size_t n = std::strlen(t) + 1;
            std::memcpy(at, t, n);
            at += n;
        }
    }
    char* gone = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        Entry* e = find(origin, user);
        if (!e && block) {
            // A free slot, else the one used longest ago.
            e = &entries[0];
            for (Entry& c : entries) {
                if (!c.block) {
                    e = &c;
                    break;
                }
                if (c.lastUse < e->lastUse) e = &c;
            }
        }
        if (e) gone = take(e);
        if (block) {
            e->block = block;
            e->lastUse = ++uses;
            e->secure = origin.secure;
            e->port = origin.port;
            e->scheme = ch.scheme;
            e->hash = ch.hash;
            e->session = ch.session;
            e->qop = ch.qop;
            e->hasOpaque = ch.opaque != nullptr;
            e->nc = nc;
        }
    }
    qfree(gone);
    if (!block) showAllocFailure("authcache");
    return block != nullptr;
}

AuthRecall recallAuth(const AuthOrigin& origin, const char* user, Challenge* ch, uint32_t* nc) {
    freeChallenge(ch);
    *nc = 0;
    if (!origin.host || !user) return AuthRecall::None;
    char* gone = nullptr;
    bool noMemory = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        Entry* e = find(origin, user);
        if (!e) return AuthRecall::None;
        if (e->scheme == AuthScheme::Digest && e->qop && e->nc == UINT32_MAX) {
            // The count would wrap: the server would take it as a replay.
            gone = take(e);
        } else {
            const char* realm = skip(skip(e->block));
            const char* nonce = skip(realm);
            const char* opaque = skip(nonce);
            size_t r = std::strlen(realm) + 1, n = std::strlen(nonce) + 1,
                   o = std::strlen(opaque) + 1;
            // qalloc shows nothing: the box, if any, waits until the lock is gone.
            char* block = static_cast<char*>(qalloc(r + n + o));
            if (!block) {
                noMemory = true;
            } else {
                std::memcpy(block, realm, r + n + o);
                ch->texts = block;
                ch->realm = block;
                ch->nonce = block + r;
                ch->opaque = e->hasOpaque ? block + r + n : nullptr;
                ch->scheme = e->scheme;
                ch->hash = e->hash;
                ch->session = e->session;
                ch->qop = e->qop;
                e->lastUse = ++uses;
                if (e->scheme == AuthScheme::Digest && e->qop) *nc = ++e->nc;
            }
        }
    }
    if (gone) {
        qfree(gone);
        return AuthRecall::None;
    }
    if (noMemory) {
        showAllocFailure("challenge");
        return AuthRecall::NoMemory;
    }
    return AuthRecall::Found;
}

void forgetAuth(const AuthOrigin& origin, const char* user) {
    if (!origin.host || !user) return;
    char* gone = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (Entry* e = find(origin, user)) gone = take(e);
    }
    qfree(gone);
}

void clearAuthCache() {
    char* gone[AUTH_CACHE_ENTRIES];
    {
        std::lock_guard<std::mutex> hold(lock);
        for (int i = 0; i < AUTH_CACHE_ENTRIES; ++i) gone[i] = take(&entries[i]);
    }
    for (char* block : gone) qfree(block);
}

int authCacheSize() {
    std::lock_guard<std::mutex> hold(lock);
    int n = 0;
    for (const Entry& e : entries)
        if (e.block) ++n;
    return n;
}

}  // namespace quodra
