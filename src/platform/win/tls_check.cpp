// The server's certificate, checked here rather than left to SChannel's
// automatic validation, which some implementations get wrong (accepting a
// self-signed certificate or another host's). The chain must end at a
// trusted root with no trust error of any kind (an incomplete chain can
// still pass the policy check), the SSL policy must accept it for a host
// name, and an address literal must be one of its address entries, which is
// compared here byte for byte.
#include <cstring>

#include "tls_socket.h"

namespace plat {
namespace win {

namespace {

bool addressListed(PCCERT_CONTEXT cert, const SockAddr& address) {
    const unsigned char* want = address.addr;
    DWORD wantLen = address.family == kAfInet ? 4 : 16;
    PCERT_EXTENSION ext = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                              cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                               ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == wantLen &&
                std::memcmp(e.IPAddress.pbData, want, wantLen) == 0;
    }
    ::LocalFree(info);
    return found;
}

// A chain to a trusted root for server authentication, accepted by the SSL
// policy for the host's name (none for an address: that is checked apart).
bool chainAccepted(PCCERT_CONTEXT cert, const Schannel& e) {
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
    wchar_t name[256];
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    if (ok && !e.address.family) {
        ok = ::MultiByteToWideChar(CP_ACP, 0, e.host, -1, name, 256) > 0;
        ssl.pwszServerName = name;
    }
    if (ok) {
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
    bool ok = chainAccepted(cert, e) && (!e.address.family || addressListed(cert, e.address));
    ::CertFreeCertificateContext(cert);
    return ok ? 0 : kErrCertRejected;
}

}  // namespace win
}  // namespace plat
