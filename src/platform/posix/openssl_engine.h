// The OpenSSL engine of a secure link: OpenSSL reads and writes the link's
// buffers through a BIO of the link's own. Private to src/platform/posix.
#pragma once

#include <openssl/ssl.h>

#include "platform/secure_link.h"

namespace plat {
namespace posix {

// Makes the BIO method every engine uses, once per process; false when
// OpenSSL cannot. The caller holds the lock that makes the shared context
// (tls.cpp), and has loaded OpenSSL.
bool makeLinkMethod();

// Gives link an engine from ctx for host (kSecureNoVerify in flags: no
// certificate check); false when one cannot be made.
bool attachOpenSsl(SecureLink& link, SSL_CTX* ctx, const char* host, int flags);

}  // namespace posix
}  // namespace plat
