// OpenSSL as the secure sockets reach it: a record of the functions they
// call, found in libssl and libcrypto when the first secure socket is made.
// The library does not link OpenSSL, so a process that never makes an https
// call never loads it. Its headers still give the types and constants.
// Private to src/platform/posix.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

// The files opened are the major version's own; headers of another major
// version would describe functions these files do not have.
static_assert(OPENSSL_VERSION_MAJOR == 3, "the files opened are libssl.so.3 and libcrypto.so.3");

namespace plat {
namespace posix {

// Every function the secure sockets call. OpenSSL's macros that stand for a
// control call (SSL_CTX_set_mode, SSL_set_tlsext_host_name,
// SSL_set_msg_callback_arg ...) are written out as calls of the *_ctrl
// function, and those that set a BIO's flags as calls of BIO_set_flags.
#define QUODRA_LIBCRYPTO_FUNCTIONS(X)  \
    X(ERR_clear_error)                 \
    X(ERR_peek_error)                  \
    X(ERR_reason_error_string)         \
    X(X509_verify_cert_error_string)   \
    X(X509_get0_notAfter)              \
    X(X509_get0_notBefore)             \
    X(X509_get_ext_d2i)                \
    X(GENERAL_NAMES_free)              \
    X(ASN1_TIME_to_tm)                 \
    X(ASN1_STRING_get0_data)           \
    X(ASN1_STRING_length)              \
    X(OPENSSL_sk_num)                  \
    X(OPENSSL_sk_value)                \
    X(BIO_get_new_index)               \
    X(BIO_meth_new)                    \
    X(BIO_meth_free)                   \
    X(BIO_meth_set_read)               \
    X(BIO_meth_set_write)              \
    X(BIO_meth_set_ctrl)               \
    X(BIO_new)                         \
    X(BIO_set_data)                    \
    X(BIO_get_data)                    \
    X(BIO_set_init)                    \
    X(BIO_set_flags)                   \
    X(BIO_clear_flags)                 \
    X(X509_VERIFY_PARAM_set1_ip)       \
    X(X509_VERIFY_PARAM_set1_host)     \
    X(X509_VERIFY_PARAM_set_hostflags)

#define QUODRA_LIBSSL_FUNCTIONS(X)         \
    X(TLS_client_method)                   \
    X(SSL_CTX_new)                         \
    X(SSL_CTX_free)                        \
    X(SSL_CTX_ctrl)                        \
    X(SSL_CTX_set_options)                 \
    X(SSL_CTX_set_default_verify_paths)    \
    X(SSL_new)                             \
    X(SSL_free)                            \
    X(SSL_ctrl)                            \
    X(SSL_set_bio)                         \
    X(SSL_set_connect_state)               \
    X(SSL_set_verify)                      \
    X(SSL_set_msg_callback)                \
    X(SSL_get0_param)                      \
    X(SSL_get_verify_mode)                 \
    X(SSL_get_verify_result)               \
    X(SSL_get_peer_cert_chain)             \
    X(SSL_pending)                         \
    X(SSL_do_handshake)                    \
    X(SSL_get_error)                       \
    X(SSL_peek)                            \
    X(SSL_read)                            \
    X(SSL_write)                           \
    X(SSL_shutdown)

struct OpenSsl {
#define QUODRA_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
    QUODRA_LIBCRYPTO_FUNCTIONS(QUODRA_OPENSSL_POINTER)
    QUODRA_LIBSSL_FUNCTIONS(QUODRA_OPENSSL_POINTER)
#undef QUODRA_OPENSSL_POINTER
};

// Filled once by loadOpenSsl and never changed after; a secure socket exists
// only once it has been, so the code that moves its bytes reads it freely.
extern OpenSsl openssl;

// Opens libcrypto.so.3 and libssl.so.3 and fills `openssl`, unless an
// earlier call did. False, with nothing kept open, when a file cannot be
// opened or lacks a function: the next call tries again. What was found
// stays loaded for the process's life, on purpose: the shared context and
// OpenSSL's own state live in it, and memory it holds stays reachable for a
// leak checker. The caller holds the lock that makes the shared context
// (tls.cpp).
bool loadOpenSsl();

}  // namespace posix
}  // namespace plat
