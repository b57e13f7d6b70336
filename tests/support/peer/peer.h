// A scripted HTTP peer for whole-call tests: it listens on 127.0.0.1 (or
// [::1]), plays
// one script on every connection it accepts (each on its own thread) and
// keeps every byte each connection received, so that a test can compare the
// request with what it expects byte for byte. Every wait is bounded.
//
// Given a certificate it speaks TLS: the handshake comes first on every
// connection, and the script then reads and writes plaintext. Close ends
// with the closing notice (close_notify) before the TCP end; CloseBare ends
// TCP without it. A script with a StartTls step speaks plainly until that
// step, as a proxy does before its tunnel carries TLS, and reads what
// follows it as a new stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace peer {

enum class Act {
    ReadHead,    // read until the request head has ended (an empty line)
    ReadBody,    // read the body the head announced with Content-Length
    Send,        // write text in one go
    Trickle,     // write text in pieces of `piece` bytes, `ms` apart
    Pause,       // sleep `ms`
    Hold,        // read nothing; wait until the client hangs up, at most `ms`
    AwaitClose,  // read until the client closes, at most `ms`
    Close,       // orderly close: end of data, then wait for the client to go
    CloseBare,   // Close without TLS's closing notice (plain: the same as Close)
    Reset,       // abortive close: the client gets a reset
    Generate,    // answer "GET /gen/<size>/<seed>" with patternBytes(size, seed)
    StartTls,    // a TLS peer's handshake here, on the open connection (see below)
    Renegotiate, // TLS 1.2: ask the client for a new handshake (HelloRequest), and go on
};

struct Step {
    Act act;
    std::string text;
    int ms = 0;
    size_t piece = 0;
};
using Script = std::vector<Step>;

Step readHead();
Step readBody();
Step send(const std::string& text);
Step trickle(const std::string& text, size_t piece, int ms);
Step pause(int ms);
Step hold(int ms);
Step awaitClose(int ms);
Step close();
Step closeBare();
Step reset();
Step generate();
Step startTls();
Step renegotiate();

// The script that records a request and answers "HTTP/1.0 200 OK" with the
// two-byte body "ok".
Script recordAndAnswer();

// The call a scenario is made with.
enum class Call { Get, Head, PutLarge };

// How a TLS peer sends its side of the handshake: at once (piece 0), or in
// pieces of piece bytes, gapMs apart; with stopAfter, no more than that many
// bytes of it, after which it holds the connection until the client leaves.
struct HandshakePace {
    size_t piece = 0;
    int gapMs = 0;
    size_t stopAfter = 0;
};

// The certificate a TLS peer presents; files DIR/<name>.pem and .key as
// tests/servers/make-certs.sh makes them.
enum class Cert {
    None,     // no TLS
    Server,   // from the test CA, for localhost and 127.0.0.1
    Other,    // from the test CA, for another name
    Expired,  // from the test CA, for localhost and 127.0.0.1, long expired
    Rogue,    // self-signed, for localhost and 127.0.0.1
    CnOnly,   // from the test CA, localhost in its common name alone
};
// The file name of c without extension ("server" ...); "" for None.
const char* certName(Cert c);
// Cert by its file name; false when there is none of that name.
bool certByName(const std::string& name, Cert* c);

// A named situation with what the client must make of it. The table in
// scenarios.cpp names the fields it sets; the others keep these values.
struct Scenario {
    std::string name;
    std::string about;
    Script script;
    Call call = Call::Get;
    int expected = 0;           // result code of the call
    std::string body{};         // expected bytes of the output file
    bool outputExists = true;   // whether the output file exists afterwards
    int idleLimitSeconds = 0;   // no-progress limit to set first; 0 = default
    int rcvbuf = 0;             // peer's receive buffer; 0 = system default
    size_t uploadBytes = 0;     // body size for Call::PutLarge
    Cert cert = Cert::None;     // the peer speaks TLS with this certificate
    bool https = false;         // the call's URL is https (also to a plain peer)
    HandshakePace pace{};       // how the TLS peer sends its handshake
    std::string host = "127.0.0.1";  // the host the call's URL names
    bool tls12 = false;         // the TLS peer speaks TLS 1.2 at most
    bool ipv6 = false;          // the peer listens on [::1]
    bool refuseServerName = false;  // the TLS peer fails a handshake that names a server
    bool proxy = false;         // the peer is the call's HTTP proxy (the URL names
                                // another server, reached through it)
    // What the call asks about its output file, and that file before it.
    bool keep = false;          // QUODRA_OPTION_KEEP_UNTIL_COMPLETE on
    bool failOnError = false;   // QUODRA_OPTION_FAIL_ON_ERROR on
    bool resume = false;        // QUODRA_OPTION_RESUME on
    bool onlyIfNewer = false;   // QUODRA_OPTION_ONLY_IF_NEWER on
    std::string before{};       // the output's bytes before the call; "": no file
    int64_t beforeTime = 0;     // ... and its time (seconds since 1970); 0: as written
    std::string asks{};         // a line the request must carry; "": none looked for
    int64_t modified = -1;      // the output's time afterwards; -1: not looked at
};
// The quodra tool's words for what s asks about its output file ("-C -",
// "--keep-until-complete" ...), out standing for the output's path; "" for
// none.
std::string fileOptionWords(const Scenario& s, const std::string& out);
const std::vector<Scenario>& scenarios();
const Scenario* findScenario(const std::string& name);

struct Peer {
    bool ipv6 = false;  // set before startPeer: listen on [::1] instead
    int listenFd = -1;
    uint16_t port = 0;
    Script script;
    // Set before startPeer for a TLS peer: its certificate and key files.
    std::string certFile, keyFile;
    ::ssl_ctx_st* tls = nullptr;  // made by startPeer from them, freed by stopPeer
    HandshakePace pace;           // set before startPeer
    bool tls12 = false;           // set before startPeer: TLS 1.2 at most
    // Set before startPeer: a handshake whose hello names a server (SNI)
    // fails with an alert.
    bool refuseServerName = false;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mu;
    std::vector<std::thread> workers;    // guarded by mu
    std::vector<std::string> received;   // per connection, guarded by mu
    std::vector<std::string> serverNames;  // per connection, guarded by mu
};

// Makes p a TLS peer presenting c from the certificates in dir (None: a
// plain peer again).
void useCert(Peer& p, const std::string& dir, Cert c);
// Makes p the peer of scenario s (its certificate from dir, its handshake's
// pace), ready for startPeer with s's script.
void prepareFor(Peer& p, const Scenario& s, const std::string& dir);
// Listens on 127.0.0.1:port, or [::1]:port when p.ipv6 is set (0 = any free
// port), with an optional receive buffer size; false with a reason when it
// cannot.
bool startPeer(Peer& p, const Script& script, uint16_t port = 0,
               int rcvbuf = 0, std::string* why = nullptr);
// Stops accepting, ends every script early (reading what is already there)
// and waits for the connection threads.
void stopPeer(Peer& p);
// What each connection has received so far, in the order of acceptance.
std::vector<std::string> received(Peer& p);
// The server name (SNI) each TLS connection's hello asked for, in the order
// of acceptance; "" for none.
std::vector<std::string> serverNames(Peer& p);

}  // namespace peer
