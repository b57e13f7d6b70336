// The test CA and server certificates of the TLS tests, made once per
// process with tests/servers/make-certs.sh. Making them points SSL_CERT_FILE
// at the test CA, so that the library trusts it; this happens before the
// library's first secure socket as long as every test that makes an https
// call asks for the certificates first. Nothing is trusted system-wide.
#pragma once

#include <string>

namespace e2e {

// The folder holding ca.pem, server.pem/.key, other, expired and rogue (see
// make-certs.sh); "" when they could not be made, with the reason in *why.
const std::string& testCerts(std::string* why = nullptr);

}  // namespace e2e
