// The secure link's event rules (src/platform/secure_link.cpp), which both
// backends share, against a fake engine over a fake socket: what the core
// sees of the handshake, of sends, of plaintext and of the end, whatever
// the engine and the socket do underneath.
//
// The fake engine speaks a toy protocol of records [type][length][bytes]:
// the client's hello is 'C'; the server answers 'H' (done) or 'A' (an
// alert); 'D' carries plaintext, 'T' none (a session ticket), 'Z' is the
// closing notice and 'X' a record that fails. It runs both ways an engine
// may hold plaintext: in its own buffer (OpenSSL) or inside the link's
// input, decrypted in place (SChannel).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/numbers.h"
#include "platform/platform.h"
#include "platform/secure_link.h"

namespace {

using plat::SecureLink;

constexpr size_t kRecordData = 10;               // plaintext per record the fake sends
constexpr size_t kRecordRoom = kRecordData + 2;  // and the room such a record takes

std::string record(char type, const std::string& bytes = "") {
    return std::string(1, type) + static_cast<char>(bytes.size()) + bytes;
}

// ---- the fake socket ----

struct Socket {
    std::string incoming;       // what the peer sent that the link has not read
    size_t readPiece = SIZE_MAX;  // a read gives at most this many
    bool ended = false;         // after incoming: the end ...
    int endError = 0;           // ... orderly (0) or with this error
    std::string wire;           // everything the link wrote
    size_t room = SIZE_MAX;     // bytes writes take before they would block
    int writeError = 0;         // writes fail with this
    std::vector<std::pair<long, int>> events;  // posted, in order

    // Events of one kind, and their errors.
    std::vector<int> errorsOf(long event) const {
        std::vector<int> out;
        for (const auto& e : events)
            if (e.first == event) out.push_back(e.second);
        return out;
    }
};

int socketRead(void* ctx, char* buf, int len, int* error) {
    Socket& s = *static_cast<Socket*>(ctx);
    if (!s.incoming.empty()) {
        size_t n = std::min({s.incoming.size(), static_cast<size_t>(len), s.readPiece});
        std::memcpy(buf, s.incoming.data(), n);
        s.incoming.erase(0, n);
        return static_cast<int>(n);
    }
    if (!s.ended) return *error = plat::kErrWouldBlock, -1;
    if (s.endError) return *error = s.endError, -1;
    return 0;
}

int socketWrite(void* ctx, const char* buf, int len, int* error) {
    Socket& s = *static_cast<Socket*>(ctx);
    if (s.writeError) return *error = s.writeError, -1;
    size_t n = std::min(static_cast<size_t>(len), s.room);
    if (n == 0) return *error = plat::kErrWouldBlock, -1;
    s.wire.append(buf, n);
    if (s.room != SIZE_MAX) s.room -= n;
    return static_cast<int>(n);
}

void socketPost(void* ctx, long event, int error) {
    static_cast<Socket*>(ctx)->events.emplace_back(event, error);
}

const plat::SecureTransport kTransport = {socketRead, socketWrite, socketPost};

// ---- the fake engine ----

struct Engine {
    int verifyError = 0;  // what verify answers
    bool helloSent = false;
    // The plaintext held: in the link's input (in place), or a copy.
    const char* plain = nullptr;
    size_t plainLen = 0;
    std::string copy;
};

Engine& engineOf(const SecureLink& l) { return *static_cast<Engine*>(l.state); }

// The next whole record of the input, or false when it is incomplete.
bool nextRecord(SecureLink& l, char* type, char** bytes, size_t* len) {
    size_t have = 0;
    char* at = plat::secureInput(l, &have);
    if (have < 2 || have < 2u + static_cast<unsigned char>(at[1])) return false;
    *type = at[0];
    *len = static_cast<unsigned char>(at[1]);
    *bytes = at + 2;
    plat::secureConsume(l, 2 + *len);
    return true;
}

plat::SecureStep handshake(SecureLink& l, int* error) {
    Engine& e = engineOf(l);
    if (!e.helloSent) {
        std::string hello = record('C');
        if (!plat::secureQueue(l, hello.data(), hello.size())) return plat::SecureStep::More;
        e.helloSent = true;
    }
    char type;
    char* bytes;
    size_t len;
    while (nextRecord(l, &type, &bytes, &len)) {
        if (type == 'T') continue;  // a message the answer may hold before its end
        if (type == 'H') return plat::SecureStep::Done;
        *error = plat::kErrSecureFailed;
        return plat::SecureStep::Failed;
    }
    return plat::SecureStep::More;
}

int verify(SecureLink& l) { return engineOf(l).verifyError; }

int encrypt(SecureLink& l, const char* data, int len) {
    std::string r = record('D', std::string(data, std::min(static_cast<size_t>(len), kRecordData)));
    size_t room = 0;
    char* to = plat::secureOutput(l, &room);
    if (room < r.size()) return -plat::kErrSecureFailed;  // the link promised room
    std::memcpy(to, r.data(), r.size());
    plat::secureQueued(l, r.size());
    return static_cast<int>(r.size() - 2);
}

template <bool InPlace>
plat::SecureRead decrypt(SecureLink& l, int* error) {
    Engine& e = engineOf(l);
    char type;
    char* bytes;
    size_t len;
    while (nextRecord(l, &type, &bytes, &len)) {
        switch (type) {
        case 'D':
            if (len == 0) break;
            if (InPlace) {
                e.plain = bytes;
            } else {
                e.copy.assign(bytes, len);
                e.plain = e.copy.data();
            }
            e.plainLen = len;
            return plat::SecureRead::Plaintext;
        case 'T':
            break;  // carries no plaintext
        case 'Z':
            return plat::SecureRead::Closed;
        default:
            *error = plat::kErrSecureFailed;
            return plat::SecureRead::Failed;
        }
    }
    return plat::SecureRead::More;
}

int take(SecureLink& l, char* buf, int len) {
    Engine& e = engineOf(l);
    size_t n = std::min(static_cast<size_t>(len), e.plainLen);
    std::memcpy(buf, e.plain, n);
    e.plain += n;
    e.plainLen -= n;
    return static_cast<int>(n);
}

bool holding(const SecureLink& l) { return engineOf(l).plainLen > 0; }

void closeNotice(SecureLink& l) {
    std::string z = record('Z');
    plat::secureQueue(l, z.data(), z.size());
}

void release(void* state) { delete static_cast<Engine*>(state); }

const plat::SecureEngine kOwnBuffer = {handshake, verify,      encrypt, decrypt<false>,
                                       take,      holding,     closeNotice, release};
const plat::SecureEngine kInPlace = {handshake, verify,      encrypt, decrypt<true>,
                                     take,      holding,     closeNotice, release};

// ---- the fixture ----

class SecureLinkTest : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { plat::secureLinkFree(link); }

    // A link over sock, not yet connected.
    void make(size_t inSize = 4096, size_t outSize = 4096, size_t recordRoom = kRecordRoom) {
        link = plat::secureLinkNew(&kTransport, &sock, inSize, outSize);
        ASSERT_NE(link, nullptr);
        link->engine = GetParam() ? &kInPlace : &kOwnBuffer;
        link->state = engine = new Engine;
        link->recordRoom = recordRoom;
    }
    // A link whose handshake is done, with its FD_CONNECT and FD_WRITE seen
    // and forgotten.
    void open(size_t inSize = 4096, size_t outSize = 4096) {
        make(inSize, outSize);
        plat::secureConnected(*link, 0);
        sock.incoming += record('H');
        plat::secureRun(*link, true, false);
        ASSERT_EQ(link->phase, plat::SecurePhase::Open);
        ASSERT_EQ(sock.events.size(), 2u);
        sock.events.clear();
        sock.wire.clear();
    }
    // What the core does: on FD_READ it receives until the link says to
    // wait or ends; plaintext goes to got, the last result to *last (0: the
    // end, else the error). The link runs whenever it is due or readable.
    void coreLoop(std::string* got, int* last) {
        for (int round = 0; round < 1000; ++round) {
            size_t seen = sock.events.size();
            plat::secureRun(*link, !sock.incoming.empty() || sock.ended, false);
            while (plat::secureDue(*link)) plat::secureRun(*link, false, false);
            for (size_t i = seen; i < sock.events.size(); ++i) {
                if (sock.events[i].first != plat::kFdRead) continue;
                char buf[7];  // smaller than a record: recv gives a record in pieces
                int n, error = 0;
                while ((n = plat::secureRecv(*link, buf, sizeof buf, &error)) > 0) got->append(buf, n);
                *last = n == 0 ? 0 : error;
            }
            if (sock.events.size() == seen) return;  // nothing more to tell
        }
        ADD_FAILURE() << "the link kept posting";
    }

    Socket sock;
    SecureLink* link = nullptr;
    Engine* engine = nullptr;
};

// FD_CONNECT comes once, when TCP, the handshake and the check of the peer
// are done, with why it failed in its error half; FD_WRITE follows only a
// success, and nothing else is posted before it.
TEST_P(SecureLinkTest, ConnectTellsTheHandshakesOutcome) {
    struct Case {
        const char* what;
        int tcpError;        // TCP's outcome
        std::string answer;  // the server's handshake bytes
        bool ended;          // then the connection ends ...
        int endError;        // ... with this error
        int writeError;      // the hello cannot be sent
        int verifyError;     // the engine refuses the peer
        size_t recordRoom;   // the engine's record room
        int connectError;    // FD_CONNECT's error half
    };
    const Case cases[] = {
        {"accepted", 0, record('H'), false, 0, 0, 0, kRecordRoom, 0},
        {"accepted, the end right behind", 0, record('H'), true, 0, 0, 0, kRecordRoom, 0},
        {"TCP refused", plat::kErrConnRefused, "", false, 0, 0, 0, kRecordRoom,
         plat::kErrConnRefused},
        {"an alert", 0, record('A'), false, 0, 0, 0, kRecordRoom, plat::kErrSecureFailed},
        {"the certificate refused", 0, record('H'), false, 0, 0, plat::kErrCertRejected,
         kRecordRoom, plat::kErrCertRejected},
        {"cut before the answer", 0, "", true, 0, 0, 0, kRecordRoom, plat::kErrSecureFailed},
        {"cut in the answer", 0, record('H').substr(0, 1), true, 0, 0, 0, kRecordRoom,
         plat::kErrSecureFailed},
        {"reset before the answer", 0, "", true, plat::kErrConnReset, 0, 0, kRecordRoom,
         plat::kErrSecureFailed},
        {"the hello cannot go out", 0, "", false, 0, plat::kErrConnReset, 0, kRecordRoom,
         plat::kErrSecureFailed},
        {"a record larger than the output", 0, record('H'), false, 0, 0, 0, 8192,
         plat::kErrSecureFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sock = Socket{};
        plat::secureLinkFree(link);
        make(4096, 4096, c.recordRoom);
        engine->verifyError = c.verifyError;
        sock.writeError = c.writeError;
        plat::secureConnected(*link, c.tcpError);
        char buf[8];
        int error = 0;
        if (!c.tcpError && !c.writeError) {
            EXPECT_EQ(sock.wire, record('C')) << "the hello goes out at once";
            EXPECT_EQ(plat::secureSend(*link, "x", 1, &error), -1);
            EXPECT_EQ(error, plat::kErrWouldBlock) << "send before FD_CONNECT";
            EXPECT_EQ(plat::secureRecv(*link, buf, sizeof buf, &error), -1);
            EXPECT_EQ(error, plat::kErrWouldBlock) << "recv before FD_CONNECT";
            EXPECT_TRUE(sock.events.empty());
        }
        sock.incoming = c.answer;
        sock.ended = c.ended;
        sock.endError = c.endError;
        plat::secureRun(*link, true, false);
        plat::secureRun(*link, true, true);  // later news changes nothing
        ASSERT_EQ(sock.errorsOf(plat::kFdConnect).size(), 1u);
        EXPECT_EQ(sock.events[0], std::make_pair(plat::kFdConnect, c.connectError));
        if (c.connectError == 0) {
            EXPECT_EQ(sock.errorsOf(plat::kFdWrite), std::vector<int>{0});
            EXPECT_EQ(link->phase, plat::SecurePhase::Open);
        } else {
            EXPECT_EQ(sock.events.size(), 1u) << "nothing after a failed connect";
            EXPECT_EQ(plat::secureSend(*link, "x", 1, &error), -1);
            EXPECT_EQ(error, c.connectError) << "send after it fails with why";
        }
    }
}

// A handshake answer that comes in pieces is waited for: no event until it
// is whole, then one FD_CONNECT, and plaintext that came with it is told at
// once. The link started on a socket that is open already (a proxy's
// tunnel) sends its hello within the call.
TEST_P(SecureLinkTest, ConnectWaitsForTheWholeAnswer) {
    make();
    plat::secureConnected(*link, 0);
    EXPECT_EQ(sock.wire, record('C'));
    std::string answer = record('T', "ticket") + record('H');
    for (char byte : answer.substr(0, answer.size() - 1)) {
        sock.incoming += byte;
        plat::secureRun(*link, true, false);
        EXPECT_TRUE(sock.events.empty());
        EXPECT_FALSE(plat::secureDue(*link));
    }
    EXPECT_TRUE(plat::secureWantsRead(*link));
    // The answer's end with the first plaintext right behind it, found by a
    // run for room alone (the handshake reads whatever the socket holds):
    // the socket will not say that it was readable.
    sock.incoming += answer.back() + record('D', "early");
    plat::secureRun(*link, false, true);
    std::vector<std::pair<long, int>> want = {
        {plat::kFdConnect, 0}, {plat::kFdWrite, 0}, {plat::kFdRead, 0}};
    EXPECT_EQ(sock.events, want);
}

// send takes plaintext, one record's worth at a time, while the output has
// room for a whole record, and delivers it as the socket takes it: the core
// never offers the same bytes again. Refused for want of room, it gets one
// FD_WRITE when room comes back.
TEST_P(SecureLinkTest, SendTakesPlaintextAndDeliversIt) {
    ASSERT_NO_FATAL_FAILURE(open(4096, 3 * kRecordRoom + 5));
    sock.room = 0;
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJ";
    size_t at = 0;
    int error = 0;
    int n;
    while ((n = plat::secureSend(*link, data.data() + at, static_cast<int>(data.size() - at), &error)) > 0) {
        EXPECT_LE(static_cast<size_t>(n), kRecordData);
        at += static_cast<size_t>(n);
    }
    EXPECT_EQ(error, plat::kErrWouldBlock);
    EXPECT_EQ(at, 3 * kRecordData) << "three records fit the output";
    EXPECT_TRUE(sock.wire.empty());
    EXPECT_TRUE(plat::secureWantsWrite(*link));
    EXPECT_FALSE(plat::secureDue(*link));
    plat::secureRun(*link, false, true);
    EXPECT_TRUE(sock.events.empty()) << "no room yet: no FD_WRITE";

    sock.room = kRecordRoom + 3;  // room for one record and a bit
    plat::secureRun(*link, false, true);
    EXPECT_EQ(sock.errorsOf(plat::kFdWrite), std::vector<int>{0});
    plat::secureRun(*link, false, true);
    EXPECT_EQ(sock.errorsOf(plat::kFdWrite).size(), 1u) << "one FD_WRITE per refusal";
    sock.room = SIZE_MAX;
    while (at < data.size()) {
        n = plat::secureSend(*link, data.data() + at, static_cast<int>(data.size() - at), &error);
        ASSERT_GT(n, 0);
        at += static_cast<size_t>(n);
    }
    std::string expect;
    for (size_t i = 0; i < data.size(); i += kRecordData) expect += record('D', data.substr(i, kRecordData));
    EXPECT_EQ(sock.wire, expect) << "every byte once, in order";
    EXPECT_FALSE(plat::secureWantsWrite(*link));

    // A socket that fails: the send fails with its error, and a core
    // waiting for room is told at once rather than left waiting.
    sock.room = 0;
    while (plat::secureSend(*link, "x", 1, &error) > 0) {
    }
    sock.writeError = plat::kErrConnReset;
    plat::secureRun(*link, false, true);
    EXPECT_EQ(sock.errorsOf(plat::kFdWrite).size(), 2u);
    EXPECT_EQ(plat::secureSend(*link, "x", 1, &error), -1);
    EXPECT_EQ(error, plat::kErrConnReset);
}

// FD_READ only when plaintext waits, and not again before the next recv;
// recv gives 0 only after the closing notice; an end without it, a broken
// record and a reset each fail recv and FD_CLOSE with why; FD_CLOSE comes
// once, after the last plaintext has been taken.
TEST_P(SecureLinkTest, ReadsAndTheEnd) {
    struct Case {
        const char* what;
        std::string input;
        bool ended;
        int endError;
        std::string plaintext;  // what recv gives, in all
        bool closes;            // FD_CLOSE comes
        int end;                // recv's last result, and FD_CLOSE's error: 0 the end, else the error
    };
    const std::string hello = "hello, world";  // longer than recv's buffer
    const Case cases[] = {
        {"a ticket alone", record('T', "ticket"), false, 0, "", false, plat::kErrWouldBlock},
        {"plaintext, nothing more yet", record('D', hello), false, 0, hello, false,
         plat::kErrWouldBlock},
        {"tickets around plaintext", record('T') + record('D', hello) + record('T'), false, 0,
         hello, false, plat::kErrWouldBlock},
        {"the closing notice", record('D', hello) + record('Z'), false, 0, hello, true, 0},
        {"the notice, then TCP's end", record('D', hello) + record('Z'), true, 0, hello, true, 0},
        {"an end without the notice", record('D', hello), true, 0, hello, true,
         plat::kErrSecureTruncated},
        {"an end inside a record", record('D', hello) + record('D', hello).substr(0, 4), true, 0,
         hello, true, plat::kErrSecureTruncated},
        {"an end with no plaintext", "", true, 0, "", true, plat::kErrSecureTruncated},
        {"a broken record", record('D', hello) + record('X') + record('D', "lost"), false, 0,
         hello, true, plat::kErrSecureFailed},
        {"a reset", record('D', hello), true, plat::kErrConnReset, hello, true,
         plat::kErrConnReset},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sock = Socket{};
        plat::secureLinkFree(link);
        ASSERT_NO_FATAL_FAILURE(open());
        sock.incoming = c.input;
        sock.ended = c.ended;
        sock.endError = c.endError;
        std::string got;
        int last = plat::kErrWouldBlock;
        coreLoop(&got, &last);
        EXPECT_EQ(got, c.plaintext);
        EXPECT_EQ(sock.errorsOf(plat::kFdRead).empty(), c.plaintext.empty());
        if (c.closes) {
            EXPECT_EQ(sock.errorsOf(plat::kFdClose), std::vector<int>{c.end});
            EXPECT_EQ(sock.events.back().first, plat::kFdClose) << "nothing after FD_CLOSE";
        } else {
            EXPECT_TRUE(sock.errorsOf(plat::kFdClose).empty());
        }
        // recv's answer at the end, asked again: the same.
        char buf[8];
        int error = 0;
        int n = plat::secureRecv(*link, buf, sizeof buf, &error);
        if (c.end == 0) {
            EXPECT_EQ(last, 0);
            EXPECT_EQ(n, 0);
        } else {
            if (!c.plaintext.empty()) {
                EXPECT_EQ(last, c.end);
            }
            EXPECT_EQ(n, -1);
            EXPECT_EQ(error, c.end);
        }
    }
}

// One FD_READ stands until the core receives: more plaintext arriving does
// not repeat it, a recv that leaves some lets the next one through.
TEST_P(SecureLinkTest, NoSecondReadBeforeTheNextRecv) {
    ASSERT_NO_FATAL_FAILURE(open());
    sock.incoming = record('D', "first");
    plat::secureRun(*link, true, false);
    EXPECT_EQ(sock.errorsOf(plat::kFdRead).size(), 1u);
    sock.incoming = record('D', "second");
    plat::secureRun(*link, true, false);
    EXPECT_FALSE(plat::secureDue(*link));
    EXPECT_EQ(sock.errorsOf(plat::kFdRead).size(), 1u);
    char buf[3];
    int error = 0;
    ASSERT_EQ(plat::secureRecv(*link, buf, sizeof buf, &error), 3);
    EXPECT_TRUE(plat::secureDue(*link)) << "plaintext left after a recv";
    plat::secureRun(*link, false, false);
    EXPECT_EQ(sock.errorsOf(plat::kFdRead).size(), 2u);
    EXPECT_FALSE(plat::secureDue(*link));
}

// Our closing notice goes at closesocket as far as the socket takes it at
// once, never waiting; a link that failed or never opened sends none.
TEST_P(SecureLinkTest, ClosingNoticeWithoutWaiting) {
    struct Case {
        const char* what;
        size_t room;
        std::string input;
        bool opened;
        std::string wire;
    };
    const Case cases[] = {
        {"room for it", SIZE_MAX, "", true, record('Z')},
        {"a full socket", 0, "", true, ""},
        {"room for part of it", 1, "", true, record('Z').substr(0, 1)},
        {"after the peer's notice", SIZE_MAX, record('Z'), true, record('Z')},
        {"after a broken record", SIZE_MAX, record('X'), true, ""},
        {"before the handshake is done", SIZE_MAX, "", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sock = Socket{};
        plat::secureLinkFree(link);
        if (c.opened) {
            ASSERT_NO_FATAL_FAILURE(open());
        } else {
            make();
            plat::secureConnected(*link, 0);
            sock.wire.clear();
        }
        sock.incoming = c.input;
        plat::secureRun(*link, true, false);
        sock.room = c.room;
        plat::secureClose(*link);
        EXPECT_EQ(sock.wire, c.wire);
    }
}

// Bytes crossing the socket, the handshake's included, are told with when
// they last moved; none before any has.
TEST_P(SecureLinkTest, TellsWhenBytesLastMoved) {
    make();
    uint32_t tick = 0;
    EXPECT_FALSE(plat::secureMoved(*link, &tick));
    sock.room = 0;
    plat::secureConnected(*link, 0);
    EXPECT_FALSE(plat::secureMoved(*link, &tick)) << "the hello has not gone";
    uint32_t before = plat::GetTickCount();
    sock.incoming = record('T');  // part of the server's answer
    plat::secureRun(*link, true, false);
    uint32_t after = plat::GetTickCount();
    ASSERT_TRUE(plat::secureMoved(*link, &tick));
    EXPECT_LE(tick - before, after - before);
    sock.room = SIZE_MAX;
    plat::secureRun(*link, false, true);
    EXPECT_EQ(sock.wire, record('C'));
    EXPECT_TRUE(sock.events.empty()) << "moving bytes is no event";
}

// Buffers smaller than many records: plaintext held in place keeps the
// bytes it lies in, the rest moves up, and everything arrives in order; a
// record larger than the input can ever hold fails the link.
TEST_P(SecureLinkTest, SmallBuffersCarryEverythingInOrder) {
    ASSERT_NO_FATAL_FAILURE(open(3 * kRecordRoom, 4096));
    std::string want;
    for (int i = 0; i < 40; ++i) {
        std::string piece = std::to_string(i) + "-abcdefg";
        sock.incoming += record('D', piece.substr(0, kRecordData));
        want += piece.substr(0, kRecordData);
    }
    sock.incoming += record('Z');
    sock.readPiece = 5;
    std::string got;
    int last = plat::kErrWouldBlock;
    coreLoop(&got, &last);
    EXPECT_EQ(got, want);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(sock.errorsOf(plat::kFdClose), std::vector<int>{0});

    sock = Socket{};
    plat::secureLinkFree(link);
    ASSERT_NO_FATAL_FAILURE(open(3 * kRecordRoom, 4096));
    sock.incoming = record('D', std::string(3 * kRecordRoom, 'x'));
    got.clear();
    last = plat::kErrWouldBlock;
    coreLoop(&got, &last);
    EXPECT_EQ(got, "");
    EXPECT_EQ(sock.errorsOf(plat::kFdClose), std::vector<int>{plat::kErrSecureFailed});
}

INSTANTIATE_TEST_SUITE_P(Engines, SecureLinkTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "DecryptsInPlace" : "OwnBuffer");
                         });

}  // namespace
