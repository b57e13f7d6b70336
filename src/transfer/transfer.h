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

// Sizes of the engine's buffers and bounds.
constexpr int SEND_CHUNK = 1024;          // body file chunk
constexpr int RECV_PIECE = 5000;          // one recv
constexpr int REPLY_HEAD_LIMIT = 262144;  // longest reply head kept

// ---- state machine ----
// 1 when refused (no record, method 0); else what setStatePointers returns.
int setNextState(RequestInfo* req);
// 0 set up (also after the body file failed to open), 7 receiving with the
// output file open, 8 or 3 the exchange ended on entering receive, 1 refused.
int setStatePointers(RequestInfo* req);

// ---- sending ----
// Step values: 1 = go on at once, 0 = stop for now.
int SendData(RequestInfo* req);
int SendFile(RequestInfo* req);
void OnSocketWrite(RequestInfo* req);

// ---- reply capture ----
void OnSocketRead(RequestInfo* req);
void ProcessReply(RequestInfo* req, const char* data, int len);
void addReplyHeader(RequestInfo* req, const char* data, int len);
void setReplyContentLength(RequestInfo* req);
// 1 when the reply is complete: its head ended and its body arrived whole
// (the announced length, or, without one, up to an orderly close; nothing
// for replies that carry no body).
int replyComplete(const RequestInfo* req);

// ---- ending ----
// Closes files and socket, marks the record closed, posts the one quit
// message, records code if none is recorded yet; returns code.
int httpDisconnect(RequestInfo* req, int code);

// Records code as the result unless one is recorded; posts nothing. For
// endings before the message loop runs, where no quit may be left queued.
void recordResult(RequestInfo* req, int code);

// ---- event dispatch and connection ----
int httpConnect(RequestInfo* req);
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
// Process-wide: whether certificates are checked (the default). Turning it
// off accepts any server, an impostor too: for tests and on purpose only.
void setTlsVerify(bool on);
bool tlsVerify();

// Marks progress now (the idle limit counts from the last progress).
void noteProgress(RequestInfo* req);
// Milliseconds without progress after which an exchange ends with 10060.
uint32_t idleLimit();
// Test setting, not exported: 0 restores the default of 300 seconds.
void setIdleLimit(uint32_t ms);

}  // namespace quodra

// The window procedure of the event windows; exported with C linkage
// and outside the namespace: its name is part of the library's interface.
extern "C" plat::LResult QUODRA_STDCALL NetWndProc(plat::Hwnd hwnd, unsigned msg,
                                                   plat::WParam wParam,
                                                   plat::LParam lParam);
