// The server's certificate, checked here rather than left to SChannel's
// automatic validation, which some implementations get wrong (accepting a
// self-signed certificate or another host's). The chain must end at a
// trusted root with no trust error of any kind (an incomplete chain can
// still pass the policy check), the SSL policy must accept it for a
// server, and the host must be one of its subject alternative names: a
// name among its DNS entries (matched by the shared rules,
// ../cert_names.cpp), an address among its address entries, byte for byte.
// The subject's common name is never looked at (RFC 9525): the SSL policy,
// given a name, would fall back to it, so it is given none. A certificate
// refused is said in the words every engine uses (../cert_failure.cpp),
// with the system's words for the chain's or the policy's status.
#include <cstdio>
#include <cstring>

#include "platform/cert_failure.h"
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

// What the entry names, for the words of a certificate that names another
// host: a DNS name as written, an address in its text form.
void addEntry(const CERT_ALT_NAME_ENTRY& entry, CertFailure& f) {
    char name[256];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && entry.pwszDNSName &&
        asciiName(entry.pwszDNSName, name, sizeof name))
        certAddName(f, name, std::strlen(name));
    else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
        certAddAddress(f, entry.IPAddress.pbData, entry.IPAddress.cbData);
}

// True when an entry names the engine's host; else the hosts it does name
// are in f.
bool namedInAltNames(PCCERT_CONTEXT cert, const Schannel& e, CertFailure& f) {
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
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) addEntry(info->rgAltEntry[i], f);
    ::LocalFree(info);
    return found;
}

// "2020-01-31" from a certificate's date.
void dateOf(const FILETIME& t, char* out, size_t size) {
    SYSTEMTIME st{};
    char text[48] = "";
    if (::FileTimeToSystemTime(&t, &st))
        std::snprintf(text, sizeof text, "%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
    std::snprintf(out, size, "%s", text);
}

// The chain's trust errors sorted as every engine sorts its check, with the
// system's words for the status that stands for them.
void sortTrust(DWORD trust, PCCERT_CONTEXT cert, CertFailure& f) {
    DWORD status = TRUST_E_FAIL;
    if (trust & CERT_TRUST_IS_NOT_TIME_VALID) {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        bool early = ::CompareFileTime(&now, &cert->pCertInfo->NotBefore) < 0;
        f.problem = early ? CertProblem::NotYetValid : CertProblem::Expired;
        dateOf(early ? cert->pCertInfo->NotBefore : cert->pCertInfo->NotAfter, f.date, sizeof f.date);
        status = CERT_E_EXPIRED;
    } else if (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
        f.problem = CertProblem::Untrusted;
        status = trust & CERT_TRUST_IS_UNTRUSTED_ROOT ? CERT_E_UNTRUSTEDROOT : CERT_E_CHAINING;
    } else if (trust & CERT_TRUST_IS_REVOKED) {
        status = CRYPT_E_REVOKED;
    } else if (trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        status = CERT_E_WRONG_USAGE;
    }
    if (systemWords(status, f.said, static_cast<int>(sizeof f.said)) == 0)
        std::snprintf(f.said, sizeof f.said, "trust status 0x%lx", static_cast<unsigned long>(trust));
}

// A chain to a trusted root for server authentication, accepted by the SSL
// policy for a server (the name is checked apart). When it is not, f says
// why.
bool chainAccepted(PCCERT_CONTEXT cert, CertFailure& f) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The intermediates the server sent are in the certificate's own store.
    if (!::CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain)) {
        if (systemWords(::GetLastError(), f.said, static_cast<int>(sizeof f.said)) == 0)
            std::snprintf(f.said, sizeof f.said, "no chain could be built");
        return false;
    }
    bool ok = chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR;
    if (!ok) sortTrust(chain->TrustStatus.dwErrorStatus, cert, f);
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
        if (!ok && systemWords(status.dwError, f.said, static_cast<int>(sizeof f.said)) == 0)
            std::snprintf(f.said, sizeof f.said, "policy status 0x%lx",
                          static_cast<unsigned long>(status.dwError));
    }
    ::CertFreeCertificateChain(chain);
    return ok;
}

}  // namespace

int tlsCheckCertificate(const Schannel& e, char* reason, size_t size) {
    PCCERT_CONTEXT cert = nullptr;
    CtxtHandle ctx = e.ctx;  // the query takes no const handle
    CertFailure f;
    if (::QueryContextAttributesA(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        !cert) {
        std::snprintf(f.said, sizeof f.said, "the server showed no certificate");
        certFailureText(f, e.host, reason, size);
        return kErrCertRejected;
    }
    bool ok = chainAccepted(cert, f);
    if (ok && !namedInAltNames(cert, e, f)) {
        f.problem = CertProblem::Names;
        ok = false;
    }
    ::CertFreeCertificateContext(cert);
    if (ok) return 0;
    certFailureText(f, e.host, reason, size);
    return kErrCertRejected;
}

}  // namespace win
}  // namespace plat
