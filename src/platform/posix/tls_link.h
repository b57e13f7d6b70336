// The record behind a secure socket, shared by tls.cpp (making it) and
// tls_io.cpp (moving its bytes). Private to src/platform/posix.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>

namespace plat {
namespace posix {

// The engine talks to a pair of memory buffers, not to the socket: one ring
// for ciphertext going out, one for ciphertext coming in. Each holds several
// whole records, so the engine is never stuck on a ring the socket cannot
// empty or fill, and nothing is read from the socket that the engine has no
// room for.
constexpr size_t kTlsRingOut = 64 * 1024;
constexpr size_t kTlsRingIn = 64 * 1024;
// The largest record on the wire; a send goes into the engine only when the
// outgoing ring has room for one, so the engine never has to wait mid-write.
constexpr size_t kTlsRecordRoom = SSL3_RT_MAX_PACKET_SIZE;
// The most plaintext one send puts into one record.
constexpr int kTlsRecordData = SSL3_RT_MAX_PLAIN_LENGTH;

struct TlsLink {
    SSL* ssl = nullptr;        // the engine; owns the inner half of the pair
    BIO* net = nullptr;        // the outer half: ciphertext to and from the socket
    bool eofIn = false;        // the socket's end has been handed to the engine
    int rawError = 0;          // the socket failed (a reset ...) rather than ended
    int failure = 0;           // why the engine stopped; 0 while it works
    bool closeNotice = false;  // the peer's close_notify has been read
};

}  // namespace posix
}  // namespace plat
