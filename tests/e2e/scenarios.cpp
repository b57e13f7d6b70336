// The named peer scenarios and what the client must make of each. The table
// serves the in-process tests and the standalone peer program alike.
#include "files.h"
#include "peer.h"

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

    // name, about, script, call, expected, body, output exists,
    // idle limit in seconds, receive buffer, upload size
    return {
        {"split-every-byte", "head and sized body one byte per write",
         {readHead(), trickle(OK + length(300) + "\r\n" + b300, 1, 1), close()},
         Call::Get, 0, b300, true, 0, 0, 0},
        {"split-every-byte-unsized", "unsized body one byte per write, then close",
         {readHead(), trickle(OK + "\r\n" + b100, 1, 1), close()},
         Call::Get, 0, b100, true, 0, 0, 0},
        {"slow-within-idle-limit", "pieces 200 ms apart, longer than the limit in all",
         {readHead(), trickle(OK + length(2000) + "\r\n" + b2000, 200, 200), close()},
         Call::Get, 0, b2000, true, 1, 0, 0},
        {"silent", "accepts and reads, never answers",
         {readHead(), hold(HOLD), close()},
         Call::Get, 10060, "", true, 1, 0, 0},
        {"stall-mid-body", "40 of 100 body bytes, then silence",
         {readHead(), send(OK + length(100) + "\r\n" + b100.substr(0, 40)), hold(HOLD), close()},
         Call::Get, 10060, b100.substr(0, 40), true, 1, 0, 0},
        {"early-reply", "answers after the head while a large body is being sent",
         {readHead(), send("HTTP/1.0 413 Request Entity Too Large\r\n" + length(5) + "\r\nlarge"),
          hold(HOLD), reset()},
         Call::PutLarge, 3, "", false, 0, 4096, 16u << 20},
        {"reset-mid-body", "500 of 1000 body bytes, then a reset",
         {readHead(), send(OK + length(1000) + "\r\n" + b1000.substr(0, 500)), pause(300), reset()},
         Call::Get, 10054, b1000.substr(0, 500), true, 0, 0, 0},
        {"reset-after-sized-reply", "complete sized reply, then a reset",
         {readHead(), send(OK + length(100) + "\r\n" + b100), pause(300), reset()},
         Call::Get, 0, b100, true, 0, 0, 0},
        {"reset-after-unsized-reply", "unsized reply ended by a reset, not a close",
         {readHead(), send(OK + "\r\n" + b100), pause(300), reset()},
         Call::Get, 10054, b100, true, 0, 0, 0},
        {"bare-lf-head", "head lines ended by LF alone",
         {readHead(), send("HTTP/1.0 200 OK\nContent-Length: 5\n\nhello"), close()},
         Call::Get, 0, "hello", true, 0, 0, 0},
        {"oversized-head", "a head of more than 262,144 bytes",
         {readHead(), send(OK + "X-Fill: " + std::string(300000, 'a') + "\r\n\r\nbody"), close()},
         Call::Get, 3, "", true, 0, 0, 0},
        {"short-body", "Content-Length 100, 50 bytes, close",
         {readHead(), send(OK + length(100) + "\r\n" + b100.substr(0, 50)), close()},
         Call::Get, 4, b100.substr(0, 50), true, 0, 0, 0},
        {"endless-head", "a head that never ends, then close",
         {readHead(), send(OK + "Server: peer\r\nX-Partial: yes"), close()},
         Call::Get, 4, "", true, 0, 0, 0},
        {"length-over-4gib", "Content-Length 5,000,000,000, 1000 bytes, close",
         {readHead(), send(OK + length("5000000000") + "\r\n" + b1000), close()},
         Call::Get, 4, b1000, true, 0, 0, 0},
        {"length-wraps-32-bits", "Content-Length 2^32 + 100, 1000 bytes, close",
         {readHead(), send(OK + length("4294967396") + "\r\n" + b1000), close()},
         Call::Get, 4, b1000, true, 0, 0, 0},
        {"excess-body", "Content-Length 5 followed by 8 bytes",
         {readHead(), send(OK + length(5) + "\r\n12345678"), close()},
         Call::Get, 0, "12345", true, 0, 0, 0},
        {"head-reply-with-length", "HEAD answered with a length and no body",
         {readHead(), send(OK + length(1234) + "\r\n"), close()},
         Call::Head, 0, "", true, 0, 0, 0},
        {"no-content-then-reset", "204 without body, then a reset",
         {readHead(), send("HTTP/1.0 204 No Content\r\n\r\n"), pause(300), reset()},
         Call::Get, 0, "", true, 0, 0, 0},
        {"not-modified-with-length", "304 announcing the entity's length, then close",
         {readHead(), send("HTTP/1.0 304 Not Modified\r\n" + length(500) + "\r\n"), close()},
         Call::Get, 0, "", true, 0, 0, 0},
        {"not-found-with-body", "404 with a body",
         {readHead(), send("HTTP/1.0 404 Not Found\r\n" + length(9) + "\r\nnot found"), close()},
         Call::Get, 0, "not found", true, 0, 0, 0},
        {"last-bytes-then-close", "256 KiB unsized, the close right behind them",
         {readHead(), send(OK + "\r\n" + big), close()},
         Call::Get, 0, big, true, 0, 0, 0},
        {"last-bytes-then-close-sized", "256 KiB sized, the close right behind them",
         {readHead(), send(OK + length(big.size()) + "\r\n" + big), close()},
         Call::Get, 0, big, true, 0, 0, 0},
    };
}

}  // namespace

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
