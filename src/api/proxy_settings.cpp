// The proxy options (process-wide, like httpSetOption's numbers) and what a
// call takes of them, or of the environment where they are at their default,
// when it starts.
#include <cstring>
#include <mutex>

#include "api/proxy.h"
#include "common/alloc.h"
#include "common/text.h"
#include "request/proxy.h"

namespace quodra {

namespace {

// One text option: at its default (not set), or set to a text ("" too).
struct Slot {
    bool set;
    char* value;  // owned; null when not set
};

std::mutex mu;  // guards both slots; never held across a box
Slot proxySlot{false, nullptr};
Slot noProxySlot{false, nullptr};

// The copy of text an option keeps, or null when memory ran out.
char* keep(const char* text) {
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(qalloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

int setSlot(Slot& slot, const char* value) {
    char* copy = nullptr;
    if (value && !(copy = keep(value))) {
        showAllocFailure("proxy");
        return -1;
    }
    char* old;
    {
        std::lock_guard<std::mutex> hold(mu);
        old = slot.value;
        slot.value = copy;
        slot.set = value != nullptr;
    }
    qfree(old);
    return 0;
}

// A call's copy of a set option: null for "" (nothing); false when memory
// ran out. Called under the lock: shows nothing.
bool copySet(const Slot& slot, char** out) {
    *out = nullptr;
    if (!*slot.value) return true;
    *out = keep(slot.value);
    return *out != nullptr;
}

// The value of the first of vars that is set, copied (null when none is
// set or the first set is empty); false when memory ran out.
bool fromEnvironment(const ProxyVariables& vars, char** out) {
    *out = nullptr;
    for (int i = 0; i < vars.count; ++i) {
        long len = plat::environmentText(vars.names[i], nullptr, 0);
        if (len < 0) continue;
        if (len == 0) return true;
        char* text = static_cast<char*>(qalloc(static_cast<size_t>(len) + 1));
        if (!text) return false;
        // Changed in between, it is taken cut to the length first read.
        plat::environmentText(vars.names[i], text, static_cast<size_t>(len) + 1);
        *out = text;
        return true;
    }
    return true;
}

}  // namespace

int setProxyOption(const char* value) {
    UrlParts parts;
    if (value && *value && !readProxyUrl(value, &parts)) return -1;
    return setSlot(proxySlot, value);
}

int setNoProxyOption(const char* value) {
    if (value && hasControlByte(value)) return -1;
    return setSlot(noProxySlot, value);
}

bool takeCallProxy(CallProxy* proxy) {
    *proxy = CallProxy{};
    initChallenge(&proxy->challenge);
    ProxySettings& s = proxy->settings;
    bool proxySet, noProxySet, whole = true;
    {
        std::lock_guard<std::mutex> hold(mu);
        proxySet = proxySlot.set;
        noProxySet = noProxySlot.set;
        if (proxySet)
            whole = copySet(proxySlot, &s.forHttp) && copySet(proxySlot, &s.forHttps);
        if (whole && noProxySet) whole = copySet(noProxySlot, &s.noProxy);
    }
    // Where an option is at its default, the environment decides, read now
    // for this call (on Windows it names nothing).
    if (whole && !proxySet)
        whole = fromEnvironment(proxyVariables(0), &s.forHttp) &&
                fromEnvironment(proxyVariables(1), &s.forHttps);
    if (whole && !noProxySet) whole = fromEnvironment(noProxyVariables(), &s.noProxy);
    if (!whole) {
        releaseCallProxy(proxy);
        showAllocFailure("proxy");
    }
    return whole;
}

void releaseCallProxy(CallProxy* proxy) {
    qfree(proxy->settings.forHttp);
    qfree(proxy->settings.forHttps);
    qfree(proxy->settings.noProxy);
    freeChallenge(&proxy->challenge);
    qfree(proxy->challengeHost);
    *proxy = CallProxy{};
    initChallenge(&proxy->challenge);
}

}  // namespace quodra
