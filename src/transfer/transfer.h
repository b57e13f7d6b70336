// The transfer engine: the state machine that orders what is sent, the
// senders, the reply capture, the event dispatch and the ending of an
// exchange with its result code.
#pragma once

#include <cstdint>

#include "common/results.h"
#include "platform/numbers.h"
#include "quodra.h"
#include "request/request.h"

namespace quodra {

// Messages posted to the event window.
constexpr unsigned WM_NETNOTIFY = plat::kWmUser + 2;   // socket event
constexpr unsigned WM_HOSTNOTIFY = plat::kWmUser + 4;  // host lookup complete
constexpr long NET_EVENTS = 0x33;          // read | write | connect | close
constexpr uintptr_t IDLE_TIMER = 1;        // timer id of the no-progress and time-limit checks
constexpr uintptr_t RACE_TIMER = 2;        // timer id that starts the next connect attempt
constexpr uintptr_t CONTINUE_TIMER = 3;    // timer id that ends the wait for 100 (Continue)
// How long a body that asked for 100 (Continue) waits for it before it goes
// anyway: servers that do not know the expectation never answer it.
constexpr unsigned CONTINUE_WAIT_MS = 1000;
// A request that may keep its connection asks before a body over this many
// bytes (a PUT's, before any body): small ones cost less sent than waited for.
constexpr int64_t EXPECT_CONTINUE_FROM = 1024 * 1024;
constexpr uintptr_t PROGRESS_TIMER = 4;    // timer id of the host's progress reports
                                           // and the shown activity window
// The least time between two progress reports: about ten a second.
constexpr unsigned PROGRESS_MS = 100;
// How long a connect attempt has to itself before the next address is tried
// beside it (RFC 8305's Connection Attempt Delay).
constexpr unsigned CONNECT_STAGGER_MS = 250;

// Sizes of the engine's pieces. A body-file chunk and a received piece each
// fill the record's transfer buffer: large pieces keep the system calls per
// byte few.
constexpr int SEND_CHUNK = TRANSFER_BUFFER;  // body file chunk
constexpr int RECV_PIECE = TRANSFER_BUFFER;  // one recv

// ---- the one question and the one ending ----
// True once the exchange has ended: its socket and files are closed, its
// result is recorded and the quit that ends its loop is posted.
inline bool ended(const RequestInfo* req) { return req->state == State::Closed; }

// Ends the exchange: finishes the output (finishOutput), closes files and
// socket, marks it closed, posts the one quit message (to its window, when
// it has one) and records code unless a result was recorded before it
// started (a request that could not be composed). The first ending stands:
// on an exchange already ended it does nothing. Returns code, except that
// an ending with 0 becomes 3 when the output cannot be finished. error is
// the socket or lookup error number
// behind code (0 when none, or when code is that number itself), kept only
// with the code it explains.
int endExchange(RequestInfo* req, int code, int error = 0);
// Records code (and the error behind it) as the result unless one is
// recorded; posts nothing. For endings before the message loop runs, where
// no quit may be left queued.
void recordResult(RequestInfo* req, int code, int error = 0);

// ---- state machine ----
// What entering the next state came to.
enum class Entered {
    Sending,    // a sending state is set up: sending may go on
    Receiving,  // the request is out and the reply is awaited
    Ended,      // the exchange ended on the way (no body file open for a
                // request with a body, a body that fell short)
};
// The state that follows state in this record's request (the record's own
// state is not changed); Closed after the reply.
State stateAfter(const RequestInfo* req, State state);
// The text a sending state puts on the wire; null for the body file, for
// states that send nothing and for a text the record lacks.
const char* stateText(const RequestInfo* req, State state);
// Moves to the state after the current one and sets it up. The body file,
// open since the exchange was composed, is closed when its state is left.
Entered enterNextState(RequestInfo* req);
// A final reply came while the request was still going out: the rest of it
// is not sent (the server has answered, and what it has not read it never
// will) and the reply is received. Unlike the move after the last piece,
// the body is not checked against its length: it was cut short on purpose.
void stopSending(RequestInfo* req);
// True when an exchange that ran on a kept connection failed as a
// connection its server had closed fails, before any byte of a reply: it
// may run again on a new connection.
bool keptConnectionFailed(const RequestInfo* req);
// True in the states that put the request on the wire.
bool sendingState(State state);
// The wait for 100 (Continue) is over (the interim answer came, or the
// wait ran out): the body goes out.
void continueSending(RequestInfo* req);

// ---- sending ----
// What a sender's step came to.
enum class Step {
    Again,  // progress: the next step may be tried at once
    Stop,   // the socket is full (a write event follows), the request is
            // out, or the exchange has ended
};
// Sends the current state's text, joined with the texts after it.
Step sendText(RequestInfo* req);
// Sends a piece of the body file.
Step sendBodyFile(RequestInfo* req);
void OnSocketWrite(RequestInfo* req);

// ---- reply capture ----
// Receives what the peer sent, also while the request is still going out: a
// server may answer before it has read the whole request (an error page for
// a body it refuses), and that answer is the reply.
void OnSocketRead(RequestInfo* req);
// The one moment the reply's output is made: the final head has arrived
// whole, and no byte of its body has been stored. Sending stops if the
// request was still going out, and the caller's output file is created or
// emptied now and never earlier, so that an exchange ending without a reply
// leaves it as it was. First the call is asked whether it keeps the reply
// (the record's judgeHead): one it answers or follows ends the exchange
// here with 0 and passedOn set, its body neither stored nor waited for; one
// it refuses ends it with the call's code. Then what the head answers
// (answerOf) may leave the output altogether, or have the body appended to
// it, or written to a new file beside it. False when no body is to be
// stored: the exchange has then ended (passed on, refused, with the
// answer's code or with 3 when the output cannot be made), and its head
// stays for the caller to read.
bool finalHeadArrived(RequestInfo* req);
// Finishes the output as the exchange ends with code: a whole reply
// (code 0) gives the file the server's time when asked to, and a new file
// beside the output replaces it now; any other ending removes that new
// file. The code to end with: 3 instead of 0 when the reply, whole, could
// not be stored after all (a close, a time or the replacing that failed).
int finishOutput(RequestInfo* req, int code);

// ---- what a final head answers for the caller's file ----
enum class Store {
    Replace,  // the body replaces the output (written to a new file beside
              // it first when the call keeps the old one)
    Append,   // the body goes on from the output's last byte: the rest asked for
    Nothing,  // the output stays as it is, and the exchange ends with code
};
struct Answer {
    Store store;
    int code;  // with Store::Nothing, the exchange's result
};
// What the final head of req's reply answers to the questions the request
// asked about the output (only the rest of it, only a newer one) and to the
// call's wish to fail on an error status.
Answer answerOf(const RequestInfo* req);
// The result of a reply that arrived whole: 13 when the call fails on an
// error status and the status is one, else 0.
int completeResult(const RequestInfo* req);
// True when the call's old output stays until the new one is whole: it
// asked for that, and the output can be kept (a file, not a device or a
// FIFO held open).
bool keepsOld(const RequestInfo* req);
// The time the output takes once the reply is whole (a 200's Last-Modified,
// when the call asked for files newer than its output); NO_TIME for none.
int64_t modifiedOf(const RequestInfo* req);
// A send failed with error: a server that refuses a request often answers
// and closes while the request is still going out, so whatever it sent is
// read and is the reply. Without any of a reply the exchange ends with the
// send's error.
void sendFailed(RequestInfo* req, int error);
// True once any byte of the final reply head has arrived (interim heads
// passed over do not count).
bool replyBegun(const RequestInfo* req);
// Takes one received piece: head bytes until the head ends, then body bytes
// to the output file. Ends the exchange itself when the reply is complete
// (0), malformed (6) or cannot be stored (3).
void ProcessReply(RequestInfo* req, const char* data, int len);
// ---- framing, when the request may keep its connection ----
// True when the reply carries no body whatever its head says: a HEAD's, a
// 204, a 304.
bool bodiless(const RequestInfo* req);
// Reads how the final head frames the body of a request that may keep its
// connection: chunked (the head's length then ignored), another coding (to
// the close), or by its length. A request of HTTP/1.0 is read as ever.
void readFraming(RequestInfo* req);
// True when the exchange's connection can carry another request: the reply
// is whole and ended by its own framing, nothing came after it, the
// request went out whole, and the server did not say it closes.
bool connectionReusable(const RequestInfo* req);

// ---- the calling thread's kept connections ----
// At most this many per thread, each for at most KEPT_IDLE_MS unused:
// servers close an idle connection after 5 to 15 seconds, and one closed
// under a request costs a retry.
constexpr int KEPT_MAX = 4;
constexpr uint32_t KEPT_IDLE_MS = 4000;
// Keeps the ended exchange's connection for the next exchange to the same
// origin when it can carry one (connectionReusable): its events are
// stopped and the record no longer holds it. False when it is not kept.
bool keepConnection(RequestInfo* req);
// A kept connection for req's origin (scheme, host, port, certificate
// checks, proxy), taken out of the pool, or kInvalidSocket. One found
// closed by its server meanwhile is closed and passed over.
plat::Socket takeConnection(const RequestInfo* req);
// Closes the calling thread's kept connections; how many.
int closeConnections();

// The reply body's length as its final head announced it: 0 for a reply
// that carries none (to HEAD, a 204, a 304); -1 before the head has come
// whole or when it announces none.
int64_t replyBodyLength(const RequestInfo* req);
// True when the reply is complete: its head ended and its body arrived whole
// (the announced length, or, without one, up to an orderly end; nothing for
// replies that carry no body).
bool replyComplete(const RequestInfo* req);
// The peer has ended the connection: in order (error 0), seen by a receive
// of no bytes or by the close event, or with error (a reset ...). Ends the
// exchange with 0 when the reply is complete, else with the error's result,
// or 4 for an orderly end too early; when a send had failed and none of a
// reply came, with that send's error, as the first sign of the end.
void endReply(RequestInfo* req, int error);

// ---- event dispatch and connection ----
// Starts reaching the host: its lookup, or for a numeric host the connect
// itself. 0 when the driver's loop is to run, 1 when nothing was started.
int reachHost(RequestInfo* req);
// Reorders a lookup's addresses as RFC 8305 (section 4) asks: the families
// take turns, starting with the resolver's first, each family keeping the
// resolver's order within it.
void interleaveFamilies(plat::SockAddr* list, int count);
// Starts connect attempts from addrNext on, one socket each, until one is
// under way (the race timer then gives the next address its turn after
// CONNECT_STAGGER_MS) or has connected at once (it wins). An address that
// fails at once is passed over for the next. When no address is left and no
// attempt is under way, every one has failed: shows the latest failure's box
// and ends the exchange with 1 and that failure's error. 0 while the
// exchange goes on, 1 once it has ended.
int startAttempt(RequestInfo* req);
// True when sock is one of the record's connect attempts under way.
bool isAttempt(const RequestInfo* req, plat::Socket sock);
// The attempt sock has connected: it becomes the exchange's socket, the
// other attempts are closed and the request starts going out.
void attemptConnected(RequestInfo* req, plat::Socket sock);
// The attempt sock failed with error (its connect event told): it is closed
// and the next address, if any, is tried at once.
void attemptFailed(RequestInfo* req, plat::Socket sock, int error);
// The race timer: starts the next address's attempt beside those under way.
void OnRaceTimer(RequestInfo* req);
int OnHostNotify(RequestInfo* req, plat::LParam event);
// An event of sock, the exchange's socket or one of its connect attempts.
int OnNetNotify(RequestInfo* req, plat::Socket sock, plat::LParam event);
void OnSocketConnect(RequestInfo* req, plat::Socket sock, int error);
void OnSocketClose(RequestInfo* req, int error);

// ---- the proxy ----
// The host and port the exchange looks up and connects to: the proxy's
// when one carries it, else the server's.
inline const char* peerHost(const RequestInfo* req) {
    return req->proxyHost ? req->proxyHost : req->host;
}
inline uint16_t peerPort(const RequestInfo* req) {
    return req->proxyHost ? req->proxyPort : req->port;
}
// True while an https exchange through a proxy opens its tunnel: its
// CONNECT request goes out, the proxy's answer comes in, or TLS is set up.
bool settingUpTunnel(const RequestInfo* req);
// Takes bytes of the proxy's answer to the CONNECT request. A 2xx head
// with nothing behind it opens the tunnel (startSecure for the server's
// name); any other status ends the exchange with 12, its head kept; a head
// that is no HTTP (no status line) or is malformed with 6; bytes behind a
// 2xx head (never body) with 7.
void takeTunnelReply(RequestInfo* req, const char* data, int len);
// The connect event of the tunnel's TLS: the handshake's outcome. Success
// starts the request; a failure ends the exchange with its result (7, 10).
void tunnelSecured(RequestInfo* req, int error);
// True when the final head of an http request through a proxy is the
// proxy's 407: the exchange ends with 12 and nothing is stored.
bool proxyRefused(const RequestInfo* req);

// ---- the secure connection ----
// For a secure request, makes its new socket sock a TLS client for its host
// (before the socket is selected). 0 when the socket may be selected; else
// the result to end the exchange with.
int makeSecure(RequestInfo* req, plat::Socket sock);
// Before a secure socket's failure (code 7 or 10) ends the exchange: keeps
// the TLS engine's reason, "certificate of <host>: ..." or "secure
// connection to <host>: ...". Any other code keeps nothing.
void secureWhy(RequestInfo* req, plat::Socket sock, int code);
// The result for an error a socket call or event reported: the secure
// socket's own failures become 7, 10 or 4; any other number stays.
int resultOfSocketError(int error);
// The same for the error of a connect: any other number becomes 1.
int resultOfConnectError(int error);

// Marks progress now: the record's idleLimitMs counts from the last progress.
void noteProgress(RequestInfo* req);
// True when the exchange has made no progress for its idleLimitMs, bytes
// its socket moved unseen by the core (a secure handshake) counted.
bool idleTooLong(RequestInfo* req);
// The check of both limits, from the event window's timer: the call's time
// limit (15), then the exchange's no-progress limit (10060).
void OnLimitTimer(RequestInfo* req);

// ---- what the call watches its exchanges for (progress.cpp) ----
// An exchange's body bytes: sent of sendTotal (the announced body, 0 for
// none) and received of receiveTotal (the reply's announced length); a
// total is -1 while it is not known.
struct ProgressCounts {
    int64_t sent;
    int64_t sendTotal;
    int64_t received;
    int64_t receiveTotal;
};

// What the call above its exchanges asks of them, from its start to its
// end: reports of their counts to the host's callback and to a shown
// activity window, and a time limit for all of them together. Owned by the
// call; each exchange's record borrows it.
struct CallWatch {
    QuodraProgress callback;  // the host's, or null: no reports
    void* context;            // handed back to the callback
    int visible;              // the activity window is shown and fed the counts
    uint32_t startedAt;       // tick at which the call started
    uint32_t timeLimitMs;     // what all its exchanges may take; 0 = no limit
    uint32_t reportedAt;      // tick of the last report to the callback
    int reports;              // reports made to the callback so far
    int exchanges;            // exchanges that have reported or ended
    int reporting;            // 1 while the callback runs
    int cancelled;            // the callback asked the call to stop
    ProgressCounts last;      // the latest counts of the latest exchange
};

// The exchange's counts now.
ProgressCounts progressCounts(const RequestInfo* req);
// Reports the exchange's counts, if one is due: to a shown window every
// time, to the host's callback at most once in PROGRESS_MS. From the
// progress timer and after each socket event, never inside a send or a
// receive. A callback that answers non-zero ends the exchange with 14.
void reportProgress(RequestInfo* req);
// The exchange has ended: its counts are the call's latest, and a shown
// window shows them before it goes.
void exchangeEnded(RequestInfo* req);
// The call has ended: the host's callback hears the latest counts once
// more (its answer no longer matters), if any exchange ran.
void reportFinal(CallWatch* watch);
// True while this thread runs a progress callback: a call made from it is
// refused.
bool insideProgressCallback();
// True once the call has taken longer than its time limit.
bool overTimeLimit(const CallWatch* watch);

// ---- why an exchange failed (why.cpp) ----
// Keeps one line saying why the exchange is about to fail, unless it has
// ended or a line is kept already: the failure that ends it first is the one
// said. The caller ends the exchange right after.
void noteWhy(RequestInfo* req, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Keeps a file's failure, with the system's error number behind it (kept
// for httpLastError too): "<doing> "<path>": <the system's words>". Unlike
// noteWhy also once the exchange has ended (closing its output fails only
// as it ends), as long as no result or line is kept.
void fileWhy(RequestInfo* req, const char* doing, const char* path, int error);
// The peer an attempt or the connection is for, as "127.0.0.1:8080" or
// "[::1]:8080": addrs[index] with the request's port; the host and port
// when index names no address.
void peerText(const RequestInfo* req, int index, char* buf, size_t size);
// The system's words for a socket or lookup error number, and for a file
// error number, as one line starting in lower case; the number itself when
// the system has none.
void socketWords(int error, char* buf, size_t size);
void fileWords(int error, char* buf, size_t size);
// What the exchange is doing, for a limit that ran out meanwhile: "looking
// up host "h"", "connecting to 127.0.0.1:80", "sending the request to ...",
// "waiting for the reply from ...", "receiving the reply from ...".
void phaseText(const RequestInfo* req, char* buf, size_t size);
// Says that a limit of ms ran out: "<what> <N s>, while <phase>".
void limitWhy(RequestInfo* req, const char* what, uint32_t ms);
// The line for a failure no site explained: the result's meaning, with the
// system's words for a socket error behind it.
void genericWhy(const RequestInfo* req, char* buf, size_t size);

}  // namespace quodra

// The window procedure of the event windows; exported with C linkage
// and outside the namespace: its name is part of the library's interface.
extern "C" plat::LResult QUODRA_STDCALL NetWndProc(plat::Hwnd hwnd, unsigned msg,
                                                   plat::WParam wParam,
                                                   plat::LParam lParam);
