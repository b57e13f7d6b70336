// Finding OpenSSL at run time: libcrypto and libssl by their sonames, every
// function the secure sockets call looked up in the file that defines it.
#include "openssl_api.h"

#include <dlfcn.h>

#include <atomic>

#include "test_hooks.h"

namespace plat {
namespace posix {

OpenSsl openssl;

namespace {

bool loaded = false;  // guarded by the caller's lock, as `openssl` is

// The files to open; a test names others (test_hooks.h).
std::atomic<const char*> sslFile{nullptr};
std::atomic<const char*> cryptoFile{nullptr};

template <typename Function>
bool find(void* library, const char* name, Function& into) {
    into = reinterpret_cast<Function>(dlsym(library, name));
    return into != nullptr;
}

}  // namespace

bool loadOpenSsl() {
    if (loaded) return true;
    const char* cryptoName = cryptoFile.load();
    const char* sslName = sslFile.load();
    // Local: their symbols stay out of the process's global scope, where
    // they could stand in for another copy of OpenSSL the program uses.
    // Now: a file that cannot be bound fails here, not in mid-handshake.
    void* crypto = dlopen(cryptoName ? cryptoName : "libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    void* ssl = crypto ? dlopen(sslName ? sslName : "libssl.so.3", RTLD_NOW | RTLD_LOCAL) : nullptr;
    OpenSsl found;
    bool all = ssl != nullptr;
#define QUODRA_FIND(name) all = all && find(crypto, #name, found.name);
    QUODRA_LIBCRYPTO_FUNCTIONS(QUODRA_FIND)
#undef QUODRA_FIND
#define QUODRA_FIND(name) all = all && find(ssl, #name, found.name);
    QUODRA_LIBSSL_FUNCTIONS(QUODRA_FIND)
#undef QUODRA_FIND
    if (!all) {
        // None of their functions has been called: closing them drops
        // nothing the process holds.
        if (ssl) dlclose(ssl);
        if (crypto) dlclose(crypto);
        return false;
    }
    openssl = found;
    loaded = true;
    return true;
}

void hooks::openSslFiles(const char* ssl, const char* crypto) {
    sslFile = ssl;
    cryptoFile = crypto;
}

}  // namespace posix
}  // namespace plat
