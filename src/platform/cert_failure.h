// Why a server's certificate was rejected, in the same words whichever TLS
// engine checked it: each engine sorts what its own check said (OpenSSL's
// verify result; SChannel's chain and policy status and the backend's own
// name check) into one of these problems, with the details it has, and its
// own words for the rest. Shared beside the backends, so that it is tested
// on every platform.
#pragma once

#include <cstddef>

namespace plat {

enum class CertProblem {
    Untrusted,    // no chain to a trusted root (self-signed, unknown issuer ...)
    Expired,      // past its notAfter
    NotYetValid,  // before its notBefore
    Names,        // names other hosts than the one asked for
    Other,        // anything else the engine refused it for
};

struct CertFailure {
    CertProblem problem = CertProblem::Other;
    char date[16] = {};    // Expired: its notAfter, NotYetValid: its notBefore ("2020-01-31")
    char names[160] = {};  // Names: the hosts it names, ", " between; empty for none
    char said[160] = {};   // the engine's own words for what it found
};

// The reason after "certificate of <host>: ": "has expired (notAfter
// 2020-01-31)", "is not valid yet (notBefore ...)", "names other.test, not
// example.test", "names no host, not example.test", "issuer not trusted
// (<said>)", or the engine's words; into buf (cut to size, NUL-terminated).
void certFailureText(const CertFailure& f, const char* host, char* buf, size_t size);
// Adds name to f.names, after ", " when some are there already; a name
// that no longer fits gives "..." once.
void certAddName(CertFailure& f, const char* name, size_t len);
// Adds an address entry (len 4 or 16 bytes) to f.names, in its text form.
void certAddAddress(CertFailure& f, const unsigned char* bytes, size_t len);

}  // namespace plat
