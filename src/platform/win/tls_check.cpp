// The server's certificate, checked here rather than left to SChannel's
// automatic validation, which some implementations get wrong (accepting a
// self-signed certificate or another host's). The chain must end at a
// trusted root with no trust error of any kind (an incomplete chain can
// still pass the policy check), the SSL policy must accept it for a
// server, and the host must be one of its subject alternative names: a
// name among its DNS entries (matched by the shared rules,
// ../cert_names.cpp), an address among its address entries, byte for byte.
// The subject's common name is never looked at (RFC 9525): the SSL policy,
// given a name, would fall back to it, so it is given none.
#include <cstring>

#include "platform/cert_names.h"
#include "tls_socket.h"

namespace plat {
namespace win {

namespace {

// A DNS entry in the certificate's own characters: ASCII only (an IA5String);
// false for anything else, which no host of ours can match.
bool asciiName(const wchar_t* wide, char* out, size_t size) {
    size_t n = 0;
    for (; wide[n]; ++n) {
        if (wide[n] >= 0x80 || n + 1 >= size) return false;
        out[n] = static_cast<char>(wide[n]);
    }
    out[n] = '\0';
    return n > 0;
}

bool entryNames(const CERT_ALT_NAME_ENTRY& entry, const Schannel& e) {
    if (e.address.family) {
        DWORD len = e.address.family == kAfInet ? 4 : 16;
        return entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == len &&
               std::memcmp(entry.IPAddress.pbData, e.address.addr, len) == 0;
    }
    char name[256];
    return entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && entry.pwszDNSName &&
           asciiName(entry.pwszDNSName, name, sizeof name) &&
           certNameMatches(name, std::strlen(name), e.host);
}

bool namedInAltNames(PCCERT_CONTEXT cert, const Schannel& e) {
    PCERT_EXTENSION ext = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                              cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                               ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) found = entryNames(info->rgAltEntry[i], e);
    ::LocalFree(info);
    return found;
}

// A chain to a trusted root for server authentication, accepted by the SSL
// policy for a server (the name is checked apart).
bool chainAccepted(PCCERT_CONTEXT cert) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The intermediates the server sent are in the certificate's own store.
    if (!::CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain))
        return false;
    bool ok = chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR;
    if (ok) {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        ok = ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
             status.dwError == 0;
    }
    ::CertFreeCertificateChain(chain);
    return ok;
}

}  // namespace

int tlsCheckCertificate(const Schannel& e) {
    PCCERT_CONTEXT cert = nullptr;
    CtxtHandle ctx = e.ctx;  // the query takes no const handle
    if (::QueryContextAttributesA(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        !cert)
        return kErrCertRejected;
    bool ok = chainAccepted(cert) && namedInAltNames(cert, e);
    ::CertFreeCertificateContext(cert);
    return ok ? 0 : kErrCertRejected;
}

}  // namespace win
}  // namespace plat
