// The transfer engine: the state machine that orders what is sent, the
// senders, the reply capture, the event dispatch and the ending of an
// exchange with its result code.
#pragma once

#include <cstdint>

#include "common/results.h"
#include "platform/numbers.h"
#include "request/request.h"

namespace quodra {

// Messages posted to the event window.
constexpr unsigned WM_NETNOTIFY = plat::kWmUser + 2;   // socket event
constexpr unsigned WM_HOSTNOTIFY = plat::kWmUser + 4;  // host lookup complete
constexpr long NET_EVENTS = 0x33;          // read | write | connect | close
constexpr uintptr_t IDLE_TIMER = 1;        // timer id of the no-progress check

// Sizes of the engine's pieces and bounds. A body-file chunk and a received
// piece each fill the record's transfer buffer: large pieces keep the
// system calls per byte few.
constexpr int SEND_CHUNK = TRANSFER_BUFFER;  // body file chunk
constexpr int RECV_PIECE = TRANSFER_BUFFER;  // one recv
constexpr int REPLY_HEAD_LIMIT = 262144;     // longest reply head kept

// ---- state machine ----
// The state that follows state in this record's request (the record's own
// state is not changed).
int stateAfter(const RequestInfo* req, int state);
// The text a sending state puts on the wire; null for the body file, for
// states that send nothing and for a text the record lacks.
const char* stateText(const RequestInfo* req, int state);
// 1 when refused (no record, method 0); else what setStatePointers returns.
int setNextState(RequestInfo* req);
// 0 set up (also after the body file failed to open), 7 receiving with the
// output file open, 8 or 3 the exchange ended on entering receive, 3 the
// output file of the receive state just left failed to close, 1 refused.
int setStatePointers(RequestInfo* req);

// ---- sending ----
// Step values: 1 = go on at once, 0 = stop for now.
int SendData(RequestInfo* req);
int SendFile(RequestInfo* req);
void OnSocketWrite(RequestInfo* req);

// ---- reply capture ----
void OnSocketRead(RequestInfo* req);
// Takes one received piece: head bytes until the head ends, then body bytes
// to the output file. Ends the exchange itself when the reply is complete
// (0), malformed (6) or cannot be stored (3).
void ProcessReply(RequestInfo* req, const char* data, int len);
// Appends head bytes; false when the head could not grow, which has ended
// the exchange with 3.
bool addReplyHeader(RequestInfo* req, const char* data, int len);
// Takes the complete head's Content-Length (-1 for none), leaving the head
// as it arrived; 0, or 6 when its framing is malformed.
int setReplyContentLength(RequestInfo* req);
// 1 once the reply head has ended (its blank line has arrived).
int replyHeadEnded(const RequestInfo* req);
// 1 when the reply is complete: its head ended and its body arrived whole
// (the announced length, or, without one, up to an orderly close; nothing
// for replies that carry no body).
int replyComplete(const RequestInfo* req);

// ---- ending ----
// Closes files and socket, marks the record closed, posts the one quit
// message, records code if none is recorded yet; returns code, except that
// an ending with 0 becomes 3 when the output file fails to close. error is
// the socket or lookup error number behind code (0 when none, or when code
// is that number itself), kept only with the code it explains.
int httpDisconnect(RequestInfo* req, int code, int error = 0);

// Records code (and the error behind it) as the result unless one is
// recorded; posts nothing. For endings before the message loop runs, where
// no quit may be left queued.
void recordResult(RequestInfo* req, int code, int error = 0);

// ---- event dispatch and connection ----
// Starts reaching the host: its lookup, or for a numeric host the connect
// itself. 0 when the driver's loop is to run, 1 when nothing was started.
int httpConnect(RequestInfo* req);
// Connects to the record's addresses from addrindex on, one socket each,
// until a connect is under way or done (0); when none is left, shows the
// last failure's box and ends the exchange with 1 (1), keeping the socket
// error number behind it (lastError, or a later address's own).
int openSocket(RequestInfo* req, int lastError = 0);
// The current address's connect failed with error: closes its socket and
// goes on with the next address (what openSocket returns).
int nextAddress(RequestInfo* req, int error);
int OnHostNotify(RequestInfo* req, plat::LParam event);
int OnNetNotify(RequestInfo* req, plat::LParam event);
void OnSocketConnect(RequestInfo* req, int error);
void OnSocketClose(RequestInfo* req, int error);

// ---- the secure connection ----
// For a secure request, makes its new socket a TLS client for its host
// (before the socket is selected). 0 when the socket may be selected; else
// the result to end the exchange with.
int makeSecure(RequestInfo* req);
// The result for an error a socket call or event reported: the secure
// socket's own failures become 7, 10 or 4; any other number stays.
int socketFailure(int error);
// The same for the error of a connect: any other number becomes 1.
int connectFailure(int error);

// Marks progress now: the record's idlelimit counts from the last progress.
void noteProgress(RequestInfo* req);

}  // namespace quodra

// The window procedure of the event windows; exported with C linkage
// and outside the namespace: its name is part of the library's interface.
extern "C" plat::LResult QUODRA_STDCALL NetWndProc(plat::Hwnd hwnd, unsigned msg,
                                                   plat::WParam wParam,
                                                   plat::LParam lParam);
