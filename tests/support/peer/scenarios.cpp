// The named peer scenarios and what the client must make of each. The table
// serves the in-process tests and the standalone peer program alike.
#include "files.h"
#include "peer/peer.h"

namespace peer {
namespace {

const std::string OK = "HTTP/1.0 200 OK\r\n";

std::string length(const std::string& n) { return "Content-Length: " + n + "\r\n"; }
std::string length(size_t n) { return length(std::to_string(n)); }
std::string bytes(size_t n, uint32_t seed) { return e2e::patternBytes(n, seed); }

std::vector<Scenario> build() {
    const std::string b100 = bytes(100, 2);
    const std::string b300 = bytes(300, 3);
    const std::string b1000 = bytes(1000, 4);
    const std::string b2000 = bytes(2000, 5);
    const std::string big = bytes(256 * 1024, 6);
    const int HOLD = 30000;

    return {
        {.name = "split-every-byte",
         .about = "head and sized body one byte per write",
         .script = {readHead(), trickle(OK + length(300) + "\r\n" + b300, 1, 1), close()},
         .expected = 0, .body = b300},
        {.name = "split-every-byte-unsized",
         .about = "unsized body one byte per write, then close",
         .script = {readHead(), trickle(OK + "\r\n" + b100, 1, 1), close()},
         .expected = 0, .body = b100},
        {.name = "slow-within-idle-limit",
         .about = "pieces 200 ms apart, longer than the limit in all",
         .script = {readHead(), trickle(OK + length(2000) + "\r\n" + b2000, 200, 200), close()},
         .expected = 0, .body = b2000, .idleLimitSeconds = 1},
        {.name = "silent",
         .about = "accepts and reads, never answers",
         .script = {readHead(), hold(HOLD), close()},
         .expected = 10060, .outputExists = false, .idleLimitSeconds = 1},
        {.name = "stall-mid-body",
         .about = "40 of 100 body bytes, then silence",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100.substr(0, 40)), hold(HOLD),
                    close()},
         .expected = 10060, .body = b100.substr(0, 40), .idleLimitSeconds = 1},
        {.name = "early-reply",
         .about = "answers after the head while a large body is being sent",
         .script = {readHead(),
                    send("HTTP/1.0 413 Request Entity Too Large\r\n" + length(5) + "\r\nlarge"),
                    hold(HOLD), reset()},
         .call = Call::PutLarge, .expected = 0, .body = "large", .rcvbuf = 4096,
         .uploadBytes = 16u << 20},
        // The reset may come before the page is read: a send fails first,
        // and the page that waits is still the reply.
        {.name = "early-reply-then-reset",
         .about = "answers after the head while a large body is being sent, and resets at once",
         .script = {readHead(),
                    send("HTTP/1.0 413 Request Entity Too Large\r\n" + length(5) + "\r\nlarge"),
                    reset()},
         .call = Call::PutLarge, .expected = 0, .body = "large", .rcvbuf = 4096,
         .uploadBytes = 16u << 20},
        // Each request is sent back to the same place: the call follows
        // its redirects up to the limit, then ends with 11, the output
        // never made.
        {.name = "redirect-loop",
         .about = "answers every request with a 307 back to itself",
         .script = {readHead(),
                    send("HTTP/1.0 307 Temporary Redirect\r\nLocation: /redirect-loop\r\n" +
                         length(4) + "\r\nloop"),
                    close()},
         .expected = 11, .outputExists = false, .connections = 11},
        {.name = "close-before-reply",
         .about = "reads the head, then closes without a word",
         .script = {readHead(), close()},
         .expected = 4, .outputExists = false},
        {.name = "reset-before-reply",
         .about = "reads the head, then resets",
         .script = {readHead(), pause(300), reset()},
         .expected = 10054, .outputExists = false},
        // The send that fails after the reset is the ending (the reset
        // itself was taken by the look for readable bytes: EPIPE, 10058).
        {.name = "reset-while-sending",
         .about = "resets while a large body is being sent, without a word",
         .script = {readHead(), pause(300), reset()},
         .call = Call::PutLarge, .expected = 10058, .outputExists = false, .rcvbuf = 4096,
         .uploadBytes = 16u << 20},
        {.name = "reset-mid-body",
         .about = "500 of 1000 body bytes, then a reset",
         .script = {readHead(), send(OK + length(1000) + "\r\n" + b1000.substr(0, 500)), pause(300),
                    reset()},
         .expected = 10054, .body = b1000.substr(0, 500)},
        {.name = "reset-after-sized-reply",
         .about = "complete sized reply, then a reset",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100), pause(300), reset()},
         .expected = 0, .body = b100},
        {.name = "reset-after-unsized-reply",
         .about = "unsized reply ended by a reset, not a close",
         .script = {readHead(), send(OK + "\r\n" + b100), pause(300), reset()},
         .expected = 10054, .body = b100},
        {.name = "bare-lf-head",
         .about = "head lines ended by LF alone",
         .script = {readHead(), send("HTTP/1.0 200 OK\nContent-Length: 5\n\nhello"), close()},
         .expected = 0, .body = "hello"},
        {.name = "oversized-head",
         .about = "a head of more than 262,144 bytes",
         .script = {readHead(), send(OK + "X-Fill: " + std::string(300000, 'a') + "\r\n\r\nbody"),
                    close()},
         .expected = 3, .outputExists = false},
        {.name = "short-body",
         .about = "Content-Length 100, 50 bytes, close",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100.substr(0, 50)), close()},
         .expected = 4, .body = b100.substr(0, 50)},
        {.name = "endless-head",
         .about = "a head that never ends, then close",
         .script = {readHead(), send(OK + "Server: peer\r\nX-Partial: yes"), close()},
         .expected = 4, .outputExists = false},
        {.name = "length-over-4gib",
         .about = "Content-Length 5,000,000,000, 1000 bytes, close",
         .script = {readHead(), send(OK + length("5000000000") + "\r\n" + b1000), close()},
         .expected = 4, .body = b1000},
        {.name = "length-wraps-32-bits",
         .about = "Content-Length 2^32 + 100, 1000 bytes, close",
         .script = {readHead(), send(OK + length("4294967396") + "\r\n" + b1000), close()},
         .expected = 4, .body = b1000},
        {.name = "excess-body",
         .about = "Content-Length 5 followed by 8 bytes",
         .script = {readHead(), send(OK + length(5) + "\r\n12345678"), close()},
         .expected = 0, .body = "12345"},
        {.name = "head-reply-with-length",
         .about = "HEAD answered with a length and no body",
         .script = {readHead(), send(OK + length(1234) + "\r\n"), close()},
         .call = Call::Head, .expected = 0},
        {.name = "no-content-then-reset",
         .about = "204 without body, then a reset",
         .script = {readHead(), send("HTTP/1.0 204 No Content\r\n\r\n"), pause(300), reset()},
         .expected = 0},
        {.name = "not-modified-with-length",
         .about = "304 announcing the entity's length, then close",
         .script = {readHead(), send("HTTP/1.0 304 Not Modified\r\n" + length(500) + "\r\n"),
                    close()},
         .expected = 0},
        {.name = "not-found-with-body",
         .about = "404 with a body",
         .script = {readHead(), send("HTTP/1.0 404 Not Found\r\n" + length(9) + "\r\nnot found"),
                    close()},
         .expected = 0, .body = "not found"},
        // A complete reply ends the call at once; with an idle limit of a
        // second, waiting for the peer's close would end it with 10060.
        {.name = "silence-after-sized-reply",
         .about = "complete sized reply, then the peer stays silent",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100), hold(HOLD), close()},
         .expected = 0, .body = b100, .idleLimitSeconds = 1},
        {.name = "silence-after-head-reply",
         .about = "HEAD answered, then the peer stays silent",
         .script = {readHead(), send(OK + length(1234) + "\r\n"), hold(HOLD), close()},
         .call = Call::Head, .expected = 0, .body = "", .idleLimitSeconds = 1},
        {.name = "interim-head",
         .about = "100 Continue, then the reply",
         .script = {readHead(),
                    send("HTTP/1.1 100 Continue\r\n\r\n" + OK + length(5) + "\r\nhello"),
                    close()},
         .expected = 0, .body = "hello"},
        {.name = "zero-length-then-bytes",
         .about = "Content-Length 0 followed by bytes",
         .script = {readHead(), send(OK + length(0) + "\r\nnot a body"), close()},
         .expected = 0, .body = ""},
        {.name = "no-content-then-bytes",
         .about = "204 followed by bytes",
         .script = {readHead(), send("HTTP/1.0 204 No Content\r\n\r\nnot a body"), close()},
         .expected = 0, .body = ""},
        {.name = "conflicting-lengths",
         .about = "two Content-Length lines that disagree",
         .script = {readHead(), send(OK + length(5) + length(3) + "\r\nhello"), close()},
         .expected = 6, .outputExists = false},
        {.name = "negative-length",
         .about = "Content-Length -1",
         .script = {readHead(), send(OK + length("-1") + "\r\nhello"), close()},
         .expected = 6, .outputExists = false},
        {.name = "last-bytes-then-close",
         .about = "256 KiB unsized, the close right behind them",
         .script = {readHead(), send(OK + "\r\n" + big), close()},
         .expected = 0, .body = big},
        {.name = "last-bytes-then-close-sized",
         .about = "256 KiB sized, the close right behind them",
         .script = {readHead(), send(OK + length(big.size()) + "\r\n" + big), close()},
         .expected = 0, .body = big},

        // Over TLS. A body without a length is whole only with the closing
        // notice; one whose length arrived is whole however TCP ends.
        {.name = "tls-unsized-close-notice",
         .about = "TLS: unsized body, the closing notice, then the TCP end",
         .script = {readHead(), send(OK + "\r\n" + b1000), close()},
         .expected = 0, .body = b1000, .cert = Cert::Server, .https = true},
        {.name = "tls-unsized-cut",
         .about = "TLS: unsized body, then the TCP end without the closing notice",
         .script = {readHead(), send(OK + "\r\n" + b1000), closeBare()},
         .expected = 4, .body = b1000, .cert = Cert::Server, .https = true},
        {.name = "tls-sized-cut",
         .about = "TLS: 256 KiB sized, then the TCP end without the closing notice",
         .script = {readHead(), send(OK + length(big.size()) + "\r\n" + big), closeBare()},
         .expected = 0, .body = big, .cert = Cert::Server, .https = true},
        {.name = "tls-short-body",
         .about = "TLS: Content-Length 100, 50 bytes, the closing notice",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100.substr(0, 50)), close()},
         .expected = 4, .body = b100.substr(0, 50), .cert = Cert::Server, .https = true},
        {.name = "tls-reset-mid-body",
         .about = "TLS: 500 of 1000 body bytes, then a reset",
         .script = {readHead(), send(OK + length(1000) + "\r\n" + b1000.substr(0, 500)), pause(300),
                    reset()},
         .expected = 10054, .body = b1000.substr(0, 500), .cert = Cert::Server, .https = true},
        {.name = "tls-early-reply",
         .about = "TLS: answers after the head while a large body is being sent",
         .script = {readHead(),
                    send("HTTP/1.0 413 Request Entity Too Large\r\n" + length(5) + "\r\nlarge"),
                    hold(HOLD), reset()},
         .call = Call::PutLarge, .expected = 0, .body = "large", .rcvbuf = 4096,
         .uploadBytes = 16u << 20, .cert = Cert::Server, .https = true},
        {.name = "tls-put-answered",
         .about = "TLS: a 1 MiB PUT read whole, answered with a length, the closing notice",
         .script = {readHead(), readBody(), send("HTTP/1.0 201 Created\r\n" + length(7) + "\r\ncreated"),
                    close()},
         .call = Call::PutLarge, .expected = 0, .body = "created", .uploadBytes = 1u << 20,
         .cert = Cert::Server, .https = true},
        {.name = "tls-rogue",
         .about = "TLS: a self-signed certificate",
         .script = {readHead(), send(OK + length(2) + "\r\nok"), close()},
         .expected = 10, .outputExists = false, .cert = Cert::Rogue, .https = true},
        {.name = "tls-other-name",
         .about = "TLS: a certificate from the trusted CA for another name",
         .script = {readHead(), send(OK + length(2) + "\r\nok"), close()},
         .expected = 10, .outputExists = false, .cert = Cert::Other, .https = true},
        {.name = "tls-expired",
         .about = "TLS: a certificate from the trusted CA, long expired",
         .script = {readHead(), send(OK + length(2) + "\r\nok"), close()},
         .expected = 10, .outputExists = false, .cert = Cert::Expired, .https = true},
        {.name = "tls-name-in-cn-only",
         .about = "TLS: a certificate from the trusted CA naming the host in its common name alone",
         .script = {readHead(), send(OK + length(2) + "\r\nok"), close()},
         .expected = 10, .outputExists = false, .cert = Cert::CnOnly, .https = true,
         .host = "localhost"},
        // A renegotiation would bring a certificate that is never checked.
        {.name = "tls-renegotiate",
         .about = "TLS 1.2: the server asks for a new handshake in the middle of the body",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100.substr(0, 40)),
                    renegotiate(), send(b100.substr(40)), hold(HOLD), close()},
         .expected = 7, .body = b100.substr(0, 40), .cert = Cert::Server, .https = true,
         .tls12 = true},
        // An address is never sent as a server name; the peer fails a
        // hello that names one.
        {.name = "tls-ipv6-literal",
         .about = "TLS: https://[::1], no server name sent, the certificate's address checked",
         .script = {readHead(), send(OK + length(2) + "\r\nok"), close()},
         .expected = 0, .body = "ok", .cert = Cert::Server, .https = true, .host = "[::1]",
         .ipv6 = true, .refuseServerName = true},
        {.name = "tls-mapped-literal",
         .about = "TLS: https://[::ffff:127.0.0.1], no server name sent",
         .script = {readHead(), send(OK + length(2) + "\r\nok"), close()},
         .expected = 0, .body = "ok", .cert = Cert::Server, .https = true,
         .host = "[::ffff:127.0.0.1]", .refuseServerName = true},
        {.name = "tls-alert",
         .about = "TLS: a fatal handshake_failure alert in answer to the hello",
         .script = {send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7)), close()},
         .expected = 7, .outputExists = false, .https = true},
        {.name = "tls-plain-answer",
         .about = "TLS: plain HTTP in answer to the hello",
         .script = {send(OK + length(2) + "\r\nok"), close()},
         .expected = 7, .outputExists = false, .https = true},
        {.name = "tls-silent-handshake",
         .about = "TLS: takes the hello, never answers it",
         .script = {hold(HOLD), close()},
         .expected = 10060, .outputExists = false, .idleLimitSeconds = 1, .https = true},
        // The handshake's bytes are progress: a server that sends them
        // slowly but keeps sending is waited for; one that stops is not.
        {.name = "tls-slow-handshake",
         .about = "TLS: the server's handshake in pieces 250 ms apart, longer than the limit in all",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100), close()},
         .expected = 0, .body = b100, .idleLimitSeconds = 1, .cert = Cert::Server, .https = true,
         .pace = {.piece = 200, .gapMs = 250}},

        // The peer as the call's proxy. An https request opens a tunnel with
        // CONNECT; every answer but a 2xx is the proxy's refusal (12), with
        // nothing stored; what a proxy does wrong ends the call honestly.
        {.name = "proxy-tunnel",
         .about = "proxy: CONNECT answered 200, then TLS for the server's name through it",
         .script = {readHead(), send("HTTP/1.0 200 Connection established\r\n\r\n"), startTls(),
                    readHead(), send(OK + length(100) + "\r\n" + b100), close()},
         .expected = 0, .body = b100, .cert = Cert::Server, .https = true, .host = "localhost",
         .proxy = true},
        {.name = "proxy-forbidden",
         .about = "proxy: CONNECT answered 403 with a page",
         .script = {readHead(), send("HTTP/1.0 403 Forbidden\r\n" + length(9) + "\r\nforbidden"),
                    close()},
         .expected = 12, .outputExists = false, .https = true, .host = "localhost", .proxy = true},
        {.name = "proxy-auth-no-challenge",
         .about = "proxy: CONNECT answered 407 without a challenge",
         .script = {readHead(), send("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"), close()},
         .expected = 12, .outputExists = false, .https = true, .host = "localhost", .proxy = true},
        {.name = "proxy-auth-http",
         .about = "proxy: an http request answered 407 with a Basic challenge and a page",
         .script = {readHead(),
                    send("HTTP/1.0 407 Proxy Authentication Required\r\n"
                         "Proxy-Authenticate: Basic realm=\"peer\"\r\n" + length(4) + "\r\ndeny"),
                    close()},
         .expected = 12, .outputExists = false, .host = "localhost", .proxy = true},
        {.name = "proxy-garbage-head",
         .about = "proxy: CONNECT answered by something that speaks no HTTP",
         .script = {readHead(), send("220 mail.example ESMTP ready\r\n\r\n"), close()},
         .expected = 6, .outputExists = false, .https = true, .host = "localhost", .proxy = true},
        {.name = "proxy-close-during-connect",
         .about = "proxy: reads the CONNECT request, then closes without a word",
         .script = {readHead(), close()},
         .expected = 4, .outputExists = false, .https = true, .host = "localhost", .proxy = true},
        {.name = "proxy-bytes-before-tls",
         .about = "proxy: CONNECT answered 200 with plain bytes behind it",
         .script = {readHead(),
                    send("HTTP/1.0 200 Connection established\r\n\r\n" + OK + length(5) + "\r\nplain"),
                    hold(HOLD), close()},
         .expected = 7, .outputExists = false, .https = true, .host = "localhost", .proxy = true},
        {.name = "proxy-tunnel-never-opens",
         .about = "proxy: CONNECT answered 200, then silence where TLS should be",
         .script = {readHead(), send("HTTP/1.0 200 Connection established\r\n\r\n"), hold(HOLD),
                    close()},
         .expected = 10060, .outputExists = false, .idleLimitSeconds = 1, .https = true,
         .host = "localhost", .proxy = true},
        {.name = "tls-stall-mid-handshake",
         .about = "TLS: 300 bytes of the server's handshake, then silence",
         .script = {readHead(), send(OK + length(100) + "\r\n" + b100), close()},
         .expected = 10060, .outputExists = false, .idleLimitSeconds = 1, .cert = Cert::Server,
         .https = true, .pace = {.piece = 100, .gapMs = 100, .stopAfter = 300}},

        // What the call asks about its output file.
        {.name = "resume-rest",
         .about = "resumed after 10 bytes: a 206 from byte 10 on",
         .script = {readHead(), send("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 10-19/20\r\n" +
                                     length(10) + "\r\nabcdefghij"), close()},
         .expected = 0, .body = "0123456789abcdefghij", .resume = true, .before = "0123456789",
         .asks = "Range: bytes=10-"},
        {.name = "resume-cut",
         .about = "resumed after 10 bytes: 4 of the 10 bytes from byte 10 on, then a reset",
         .script = {readHead(), send("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 10-19/20\r\n" +
                                     length(10) + "\r\nabcd"), pause(300), reset()},
         .expected = 10054, .body = "0123456789abcd", .keep = true, .resume = true,
         .before = "0123456789"},
        {.name = "resume-whole-instead",
         .about = "resumed after 10 bytes: the whole file, the range ignored",
         .script = {readHead(), send(OK + length(20) + "\r\nABCDEFGHIJabcdefghij"), close()},
         .expected = 0, .body = "ABCDEFGHIJabcdefghij", .keep = true, .resume = true,
         .before = "0123456789"},
        {.name = "resume-already-whole",
         .about = "resumed after 10 bytes: 416 naming the length 10",
         .script = {readHead(), send("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\n" +
                                     length(9) + "\r\nno range"), close()},
         .expected = 0, .body = "0123456789", .resume = true, .before = "0123456789"},
        {.name = "resume-other-length",
         .about = "resumed after 10 bytes: 416 naming the length 8",
         .script = {readHead(), send("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */8\r\n" +
                                     length(0) + "\r\n"), close()},
         .expected = 13, .body = "0123456789", .resume = true, .before = "0123456789"},
        {.name = "resume-wrong-start",
         .about = "resumed after 10 bytes: a 206 from byte 5",
         .script = {readHead(), send("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 5-14/20\r\n" +
                                     length(10) + "\r\n56789abcde"), close()},
         .expected = 6, .body = "0123456789", .resume = true, .before = "0123456789"},
        {.name = "error-page-failed",
         .about = "a 500 page when the call fails on an error status",
         .script = {readHead(), send("HTTP/1.0 500 Internal Server Error\r\n" + length(6) +
                                     "\r\nbroken"), close()},
         .expected = 13, .body = "broken", .failOnError = true},
        {.name = "error-page-failed-kept",
         .about = "a 500 page when the call fails on an error status and keeps the old file",
         .script = {readHead(), send("HTTP/1.0 500 Internal Server Error\r\n" + length(6) +
                                     "\r\nbroken"), close()},
         .expected = 13, .body = "earlier-output", .keep = true, .failOnError = true,
         .before = "earlier-output"},
        {.name = "not-modified-since",
         .about = "asked only if newer than the output's time: 304",
         .script = {readHead(), send("HTTP/1.0 304 Not Modified\r\n\r\n"), close()},
         .expected = 0, .body = "earlier-output", .onlyIfNewer = true, .before = "earlier-output",
         .beforeTime = 784111777, .asks = "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT",
         .modified = 784111777},
        {.name = "modified-since",
         .about = "asked only if newer than the output's time: 200 with its Last-Modified",
         .script = {readHead(), send(OK + "Last-Modified: Tue, 15 Nov 1994 12:45:26 GMT\r\n" +
                                     length(5) + "\r\nnewer"), close()},
         .expected = 0, .body = "newer", .keep = true, .onlyIfNewer = true,
         .before = "earlier-output", .beforeTime = 784111777,
         .asks = "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT", .modified = 784903526},
    };
}

}  // namespace

std::string fileOptionWords(const Scenario& s, const std::string& out) {
    std::string words;
    auto add = [&](const std::string& w) { words += (words.empty() ? "" : " ") + w; };
    if (s.keep) add("--keep-until-complete");
    if (s.failOnError) add("--fail");
    if (s.resume) add("-C -");
    if (s.onlyIfNewer) add("-z " + out);
    return words;
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> table = build();
    return table;
}

const Scenario* findScenario(const std::string& name) {
    for (const Scenario& s : scenarios())
        if (s.name == name) return &s;
    return nullptr;
}

}  // namespace peer
