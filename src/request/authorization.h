// The header line that answers a chosen challenge: Basic (RFC 7617) or
// Digest (RFC 7616: MD5, MD5-sess, SHA-256, SHA-256-sess; qop "auth"), as
// Authorization to a server or Proxy-Authorization to a proxy.
//
// Nothing here draws random bytes or keeps anything: the cnonce comes in
// with the request, and the password is read only to be encoded or hashed.
#pragma once

#include <cstdint>

#include "request/challenge.h"

namespace quodra {

// The request that the answer goes with.
struct AuthRequest {
    AuthAsker asker;     // which line: Authorization or Proxy-Authorization
    const char* user;    // bytes as given (percent-decoded from the URL)
    const char* password;  // null reads as empty
    const char* method;  // the request line's method ("GET")
    const char* target;  // the request line's target, the Digest "uri"
    uint32_t nc;         // Digest with qop: the nonce count, from 1
    const char* cnonce;  // Digest with qop: the client nonce (cnonceText)
};

enum class AuthAnswer {
    Made,      // *line holds the whole line, CR LF included (owned, qalloc)
    Refused,   // these credentials cannot be written in this scheme: a
               // Basic user holding ':', or a Digest user holding a
               // control byte (it cannot be quoted); or a piece is missing
               // (no user, method, target, or the cnonce Digest needs)
    NoMemory,  // "new failed: authorization" shown
};

// True when ch (Basic or Digest) can be answered for user: a Basic user
// holds no ':' (it would move the split), a Digest user no control byte (a
// quoted-string cannot carry it).
bool canAnswer(const Challenge& ch, const char* user);

// The line answering ch (Basic or Digest) for req.
AuthAnswer answerChallenge(const Challenge& ch, const AuthRequest& req, char** line);

// Room for the cnonce text of CNONCE_BYTES random bytes, with its NUL.
constexpr int CNONCE_BYTES = 16;
constexpr int CNONCE_TEXT = 2 * CNONCE_BYTES + 1;
// The cnonce written as lower-case hexadecimal digits, from random bytes
// the caller drew.
void cnonceText(const unsigned char bytes[CNONCE_BYTES], char out[CNONCE_TEXT]);

}  // namespace quodra
