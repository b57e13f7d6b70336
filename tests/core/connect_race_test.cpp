// The race of a host's addresses, with the network played by the fake
// platform: an attempt that has not connected when its turn runs out (the
// race timer's tick) gets the next address beside it, one that fails makes
// room for the next at once, the first to connect carries the request and
// the others are closed before it goes out, events of closed attempts change
// nothing, and the no-progress limit bounds the race as a whole. The fake
// hands out the lowest free socket from 100 up, so the first attempt is 100
// and one started beside it 101.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "exchange_fixture.h"

using namespace quodra;

namespace {

// An event of socket s.
fake::Posted on(plat::Socket s, long event, int error = 0) {
    return {nullptr, WM_NETNOTIFY, static_cast<plat::WParam>(s),
            (static_cast<plat::LParam>(error) << 16) | event};
}
const fake::Posted raceTick{nullptr, 0x113, RACE_TIMER, 0};
const fake::Posted idleTick{nullptr, 0x113, IDLE_TIMER, 0};

constexpr long CONNECT = 16, READ = 1, CLOSE = 32;

const plat::SockAddr v6 = fake::ipv6("2001:db8::7"), v6b = fake::ipv6("2001:db8::8"),
                     v4 = fake::ipv4(10, 0, 0, 7), v4b = fake::ipv4(10, 0, 0, 8);

std::vector<std::string> ports(std::vector<std::string> addrs) {
    for (std::string& a : addrs) a += " 8080";
    return addrs;
}

// The whole-call fixture under a name of this file's own (a suite's
// fixture is one class across the program).
class ConnectRace : public Exchange {};

TEST_F(ConnectRace, TheFirstAddressToConnectCarriesTheRequest) {
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
    struct Case {
        const char* name;
        std::vector<plat::SockAddr> addrs;  // what the lookup gives
        std::function<void(fake::State&)> script;
        int result;
        std::vector<std::string> tried;  // connects, in order (port 8080)
        plat::Socket winner = -1;        // the socket the request went out on
        int error = 0;                   // httpLastError afterwards
        const char* box = nullptr;
        const char* url = "http://server:8080/x";
        int idleLimit = 0;               // seconds; 0: the default
    };
    const Case cases[] = {
        {.name = "first silent: the second starts at its turn and wins",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 2), raceTick, on(101, CONNECT), on(101, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 101},
        {.name = "first connects after the second started: the second is closed",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 2), raceTick, on(100, CONNECT), on(100, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 100},
        {.name = "each silent one gets its turn, the third wins",
         .addrs = {v6, v4, v4b},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 3), raceTick, raceTick, on(102, CONNECT), on(102, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7", "2 10.0.0.8"}, .winner = 102},
        {.name = "first fails while the second runs: the third starts at once",
         .addrs = {v6, v4, v4b},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 3), raceTick, on(100, CONNECT, 10061), on(100, CONNECT),
                           on(100, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7", "2 10.0.0.8"}, .winner = 100},
        {.name = "first fails at once: the second starts without waiting",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.connectScript = {10051, 10035};
             s.incoming = {hostDone(0, 2), on(100, CONNECT), on(100, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 100},
        {.name = "the families take turns: one broken IPv6 turn, then IPv4",
         .addrs = {v6, v6b, v4},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 3), raceTick, on(101, CONNECT), on(101, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 101},
        {.name = "events of closed attempts change nothing",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 2), raceTick, on(101, CONNECT), on(100, CONNECT),
                           on(100, READ), on(100, CLOSE, 10054), on(101, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 101},
        {.name = "the race is over once one connects: a late tick starts none",
         .addrs = {v6, v4, v4b},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 3), raceTick, on(101, CONNECT), raceTick, on(101, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 101},
        {.name = "a tick queued before an attempt that replaced a failed one is not its turn",
         .addrs = {v6, v4, v4b},
         .script = [](fake::State& s) {
             s.timerAdvance = 0;  // no time passes between them
             s.incoming = {hostDone(0, 3), on(100, CONNECT, 10061), raceTick, on(100, CONNECT),
                           on(100, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 100},
        {.name = "no timer to be had: each waits for the one before to fail",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.failTimerId = RACE_TIMER;
             s.incoming = {hostDone(0, 2), raceTick, on(100, CONNECT, 10060), on(100, CONNECT),
                           on(100, READ)}; },
         .result = 0, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .winner = 100},
        {.name = "all fail by their events: the latest one's error, no box",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.incoming = {hostDone(0, 2), raceTick, on(101, CONNECT, 10061),
                           on(100, CONNECT, 10060)}; },
         .result = 1, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .error = 10060},
        {.name = "all fail, the latest at once: its box and its error",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.connectScript = {10035, 10051};
             s.incoming = {hostDone(0, 2), on(100, CONNECT, 10061)}; },
         .result = 1, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .error = 10051,
         .box = "Error 10051 connecting socket"},
        {.name = "the last address failed at once, an earlier one fails later: no box",
         .addrs = {v6, v4},
         .script = [](fake::State& s) {
             s.connectScript = {10035, 10051};
             s.incoming = {hostDone(0, 2), raceTick, on(100, CONNECT, 10061)}; },
         .result = 1, .tried = {"23 2001:db8::7", "2 10.0.0.7"}, .error = 10061},
        {.name = "https: each attempt is made secure; one failed handshake ends the call",
         .addrs = {v6, v4, v4b},
         .script = [](fake::State& s) {
             // It ends with the third address still waiting for its turn.
             s.incoming = {hostDone(0, 3), raceTick, on(101, CONNECT, plat::kErrSecureFailed),
                           on(100, CONNECT)}; },
         .result = 7, .tried = {"23 2001:db8::7", "2 10.0.0.7"},
         .url = "https://server:8080/x"},
        {.name = "the no-progress limit bounds the race as a whole",
         .addrs = {v6, v4, v4b},
         .script = [](fake::State& s) {
             // 250 ms per tick: the third starts at 500 ms, the limit ends it
             // at 1,000 ms however many attempts are still under way.
             s.incoming = {hostDone(0, 3), raceTick, raceTick, idleTick, idleTick,
                           on(100, CONNECT)}; },
         .result = 10060, .tried = {"23 2001:db8::7", "2 10.0.0.7", "2 10.0.0.8"},
         .error = 10060, .idleLimit = 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        std::remove(out.c_str());
        auto& s = fake::state();
        s.lookupAddrs = c.addrs;
        s.timerAdvance = CONNECT_STAGGER_MS;
        s.recvScript = {fake::bytes(reply), fake::closed()};
        c.script(s);
        if (c.idleLimit) httpSetOption(QUODRA_OPTION_IDLE_LIMIT, c.idleLimit);
        int result = httpGet(c.url, out.c_str(), 0);
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(connected(), ports(c.tried));
        EXPECT_EQ(httpLastError(), c.error);
        if (c.winner >= 0) {
            EXPECT_EQ(readAll(out), "ok");
            EXPECT_EQ(fake::sent().rfind("GET /x HTTP/1.0\r\n", 0), 0u);
            EXPECT_EQ(fake::sent().find("GET", 1), std::string::npos) << "sent twice";
            EXPECT_EQ(s.sendSockets, std::vector<plat::Socket>(s.sendSockets.size(), c.winner));
            EXPECT_EQ(s.mostOpenWhileSending, 1) << "a losing attempt outlived the win";
        } else {
            EXPECT_EQ(fake::sent(), "");
            EXPECT_FALSE(exists(out));
        }
        if (c.box) {
            ASSERT_EQ(s.boxes.size(), 1u);
            EXPECT_EQ(s.boxes[0].text, c.box);
        } else {
            EXPECT_TRUE(s.boxes.empty());
        }
        if (c.url[4] == 's') {
            EXPECT_EQ(s.secured.size(), s.sockets.size());
        }
        for (const auto& set : s.timerSets) {
            if (set.first == RACE_TIMER) {
                EXPECT_EQ(set.second, CONNECT_STAGGER_MS);
            }
        }
        EXPECT_EQ(s.liveTimers, 0) << "a timer outlived the call";
        EXPECT_EQ(s.openSockets, 0);
        EXPECT_EQ(s.closedSockets.size(), s.sockets.size());
        EXPECT_EQ(quits(), 1);
    }
}

// A secure attempt's handshake moves bytes the core never sees: while any
// attempt of the race moves them, the no-progress limit waits, even when the
// one moving is not the first.
TEST_F(ConnectRace, AHandshakeOnAnyAttemptIsProgress) {
    struct Case {
        const char* what;
        plat::Socket mover;  // the attempt whose handshake moves; -1: none
        int result;
    };
    const Case cases[] = {
        {"the second attempt's handshake moves", 101, 0},
        {"the first attempt's handshake moves", 100, 0},
        {"no handshake moves", -1, 10060},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        std::remove(out.c_str());
        auto& s = fake::state();
        s.lookupAddrs = {v6, v4};
        s.timerAdvance = CONNECT_STAGGER_MS;
        s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"),
                        fake::closed()};
        // The second attempt starts at 250 ms; idle ticks at 500 ... 1,250
        // ms pass a limit of one second unless a handshake moved meanwhile.
        s.incoming = {hostDone(0, 2), raceTick, idleTick, idleTick, idleTick, idleTick,
                      on(101, CONNECT), on(101, READ)};
        s.onArrival = [&](const fake::Posted& p) {
            if (p.msg == 0x113 && p.wParam == IDLE_TIMER && c.mover >= 0) s.moved[c.mover] = s.tick;
        };
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 1);
        int result = httpGet("https://server:8080/x", out.c_str(), 0);
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
        s.onArrival = nullptr;
        EXPECT_EQ(result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(readAll(out), "ok");
        }
        EXPECT_EQ(s.openSockets, 0);
        EXPECT_EQ(quits(), 1);
    }
}

// The families of a lookup take turns, starting with the resolver's first,
// each keeping the resolver's order within it.
TEST(ConnectOrder, FamiliesTakeTurns) {
    const plat::SockAddr a6 = fake::ipv6("2001:db8::1"), b6 = fake::ipv6("2001:db8::2"),
                         c6 = fake::ipv6("2001:db8::3"), a4 = fake::ipv4(192, 0, 2, 1),
                         b4 = fake::ipv4(192, 0, 2, 2);
    struct Case {
        std::vector<plat::SockAddr> given, tried;
    } cases[] = {
        {{a6, b6, c6, a4, b4}, {a6, a4, b6, b4, c6}},
        {{a4, b4, a6}, {a4, a6, b4}},
        {{a4, a6, b6, c6, b4}, {a4, a6, b4, b6, c6}},
        {{a6, a4, b6, b4}, {a6, a4, b6, b4}},
        {{a6, b6, c6}, {a6, b6, c6}},
        {{b6, a6}, {b6, a6}},
        {{a4}, {a4}},
    };
    for (const Case& c : cases) {
        std::vector<plat::SockAddr> list = c.given;
        interleaveFamilies(list.data(), static_cast<int>(list.size()));
        std::vector<std::string> got, want;
        for (const plat::SockAddr& a : list) got.push_back(describe(a));
        for (const plat::SockAddr& a : c.tried) want.push_back(describe(a));
        EXPECT_EQ(got, want);
    }
}

}  // namespace
