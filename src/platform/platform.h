// The platform layer: the only code that touches the operating system and
// the TLS engine. One
// header, one backend per platform with the same operations in files of the
// same names (posix/, win/), code both backends share directly here beside
// them (inet.cpp, the reader of address literals; secure_link.*, the event
// rules of a secure socket over either TLS engine; system_address.*,
// addresses to and from the system's records; beside_name.*, the name of a
// new file beside an output), and a scripted fake for the core's tests
// (tests/support/fake). The calls are named after the
// Windows services they stand for, inside namespace plat so that they never
// collide with the C library's; on Windows each passes straight through,
// except two: connect takes the layer's own address record, and
// WSAAsyncGetAddrInfo, which Windows Sockets has no call for, runs the
// system's resolver on a thread. The calls Windows Sockets has no name for
// are named for what they do (addressLiteral, secureSocket ...). The
// numbers they exchange (messages, event bits, error numbers) are in
// numbers.h.
//
// ==== What the core relies on =============================================
// The core runs each exchange on the calling thread, through one window of
// its own and that thread's message loop. Below, each rule is what the core
// needs; "POSIX:" notes what that backend does beyond it or refuses
// ("Windows:", what that one does where it is not the system's own call). The
// POSIX backend serves this and nothing more, so a use outside it fails
// there rather than half working.
//
// Start-up (startup.cpp). WSAStartup(0x0101) before the first exchange,
// 0 = usable; two threads starting at once may both call it. WSACleanup
// when the library is unloaded.
//
// Windows (windows.cpp). The core registers its one class once per process
// (GetClassInfoA, then RegisterClassA if it is missing; a class is the
// process's) and creates one window per exchange on the calling thread,
// parented to GetActiveWindow(); nullptr means no window, and the exchange
// is refused. ShowWindow(kSwShow or kSwHide) follows the caller's "visible".
// A window belongs to the thread that created it: its messages, timers and
// socket events are that thread's, and that thread destroys it. After
// DestroyWindow its timers are stopped and nothing is dispatched to it.
// DefWindowProcA takes what the window procedure leaves.
//   POSIX: a window exists only for its thread (elsewhere its handle is
//   unknown); a shown window draws a one-line activity display on a
//   terminal instead of a frame. Class names are compared exactly.
//
// Messages (messages.cpp). The core itself posts one message: kWmQuit, to
// its own window, from its own thread, when the exchange ends
// (PostMessageA; 0 = not posted). Its loop is
//     while ((r = GetMessageA(&m, filter, 0, 0)) > 0) {
//         TranslateMessage(&m); DispatchMessageA(&m); }
// with filter = the exchange's window while the exchange runs, and nullptr
// once it has ended (then every message of the thread's windows, up to the
// quit). GetMessageA waits until a message for the filter is queued and
// takes the oldest: 0 when that is kWmQuit, 1 for any other, -1 when it
// cannot wait (the filter is not a live window of this thread). A window's
// messages are taken in the order they were posted. DispatchMessageA calls
// the window's procedure with the message, on the owner thread.
//   POSIX: no message range (min and max are 0); no posting to another
//   thread's window or to no window. The one message that crosses threads
//   is a lookup's completion.
//
// The core's messages, all to its window: the socket events and the lookup
// completion (numbers of its own, from kWmUser up), kWmTimer for its
// limits (no progress, the call's time), for the race of a host's
// addresses and for its progress reports, and kWmQuit. A progress report
// runs the host's own code, which may pump the thread's messages itself
// (a nested loop that dispatches the core's events too): the core posts no
// quit while it does.
//
// Timers (timers.cpp). SetTimer(window, id, ms) queues kWmTimer with
// wParam = id every ms (at least 10) from the owner thread's loop, never
// more than one waiting; KillTimer stops it. A window has as many timers as
// ids, each on its own: setting or killing one leaves the others. SetTimer
// of an id that runs already starts its period afresh (a kWmTimer already
// queued for it stays queued). GetTickCount gives wrapping milliseconds;
// the core compares only differences.
//
// Sockets (sockets.cpp, address.cpp). Each socket is made, selected and
// connected on the window's thread, in this order, one per address of the
// host:
//     s = socket(addr.family, kSockStream, kIpprotoTcp);   // kInvalidSocket: failed
//     WSAAsyncSelect(s, window, msg, kFdRead | kFdWrite | kFdConnect | kFdClose);
//     connect(s, &addr, sizeof addr);   // addr from addressLiteral or a lookup, port by htons
// While connecting, an exchange may have several such sockets under way on
// its one window, one per address (a connect that has not completed within
// a quarter of a second gets the next address beside it); the first whose
// FD_CONNECT says connected carries the exchange, and the others are closed
// at once. From then on it is one socket. Both families are asked for:
// kAfInet and kAfInet6. A family the system cannot serve fails at socket
// (kErrAfNoSupport ...), and the core goes on with the next address. From
// the selection on, no call blocks. A failing
// call returns kSocketError, and WSAGetLastError() (per thread) tells why;
// kErrWouldBlock (10035) means "not now: an event will say when". connect
// gives 0 (connected at once: the core starts sending and ignores the
// FD_CONNECT that follows), or kErrWouldBlock and the outcome as
// FD_CONNECT, or another error and no event. Each event is a message to
// the window with wParam = the socket and lParam = event | error << 16:
//   FD_CONNECT once: error 0 = connected, else why (kErrConnRefused ...).
//     A socket whose connect failed gets no other event: the core closes
//     it and may be handed the same number for its next socket.
//   FD_WRITE once after a successful connect, then again only after a send
//     failed with kErrWouldBlock, when room has come back.
//   FD_READ when data waits, and not again before the next recv. The core
//     calls recv until kErrWouldBlock or the end.
//   FD_CLOSE once, when the peer has ended (error 0) or reset (kErrConnReset
//     ...) the connection. Bytes may still wait then; the core reads them
//     before it closes.
// send and recv take flags 0 and give a count (recv: 0 = the peer's
// orderly end) or kSocketError. A socket sends what it is given at once,
// never holding a small segment back to join it with a later one
// (TCP_NODELAY), so a request in several sends costs no stall for the
// peer's delayed acknowledgement. closesocket ends the socket's events;
// events already queued may still be taken, and the core ignores those of
// a socket it no longer holds.
// A connection kept for the thread's next exchange outlives the window of
// the exchange that made it: the core parks it as that exchange ends,
//     WSAAsyncSelect(s, window, 0, 0);   // no events until selected again
// and the next exchange on the same thread selects it to its own window
// as above (no connect follows; the core sends at once, so no FD_WRITE is
// owed, while bytes that wait are told as FD_READ). Before that the core
// asks socketIdleOpen(s), which looks without waiting whether the peer has
// closed it meanwhile. A socket that cannot be parked (0 refused) is
// closed instead.
//   POSIX: a socket is used only by the thread that made it, selected
//   before its connect for all four events (and again after parking, once
//   connected), and connected once; send and recv take no flags. Sockets
//   still open when their thread ends (kept ones) are closed then. Until it is selected it is a plain blocking socket,
//   as on Windows. FD_CLOSE comes only after FD_READ has been offered for
//   every byte before the end.
//
// Secure sockets (tls.cpp; their rules are the secure link's,
// secure_link.cpp, one piece of code over each backend's TLS engine). For an
// https URL the core makes the socket a TLS client between its creation and
// its selection:
//     s = socket(...);
//     secureSocket(s, host, flags);   // kSocketError: the exchange ends (7)
//     WSAAsyncSelect(...); connect(...);
// host is the URL's host, without brackets. A name is sent as the server
// name (SNI) and must be one of the certificate's subject alternative
// names (a "*." entry stands for one whole leftmost label); the subject's
// common name is never taken for a name (RFC 9525). An address literal (as
// addressLiteral reads it) is sent as no name and must be one of the
// certificate's address entries. The certificate must lead to a trusted
// root and be within its dates. kSecureNoVerify skips every check. From
// then on the socket's calls and events carry the exchange's plaintext:
//   connect does not succeed at once: FD_CONNECT comes when TCP, the
//     handshake and the certificate check are done; its error half is a
//     TCP error, kErrSecureFailed (handshake) or kErrCertRejected. Before
//     it, send and recv fail (with kErrWouldBlock while the handshake runs).
//   send takes plaintext. What it took is the platform's to deliver (it
//     keeps the encrypted bytes), so the core offers again only what it
//     did not take. FD_WRITE as for a plain socket.
//   FD_READ means plaintext waits: bytes that carry none (a session
//     ticket) raise no event. recv gives plaintext; 0 only after the
//     peer's closing notice (close_notify). An end without it fails with
//     kErrSecureTruncated, a broken or refused record with kErrSecureFailed.
//     A server's request for a new handshake (TLS 1.2's renegotiation) is
//     refused so: the certificate it would bring would never be checked.
//   FD_CLOSE as for a plain socket; error 0 only after the closing notice,
//     else why it ended: kErrSecureTruncated, kErrSecureFailed or the
//     reset's error (recv then fails with the same).
// closesocket sends our own closing notice where it can, without waiting.
// socketMoved tells when the socket last moved bytes of its own on the wire,
// the handshake's included, which the core otherwise sees nothing of until
// FD_CONNECT: they count as progress for the no-progress limit.
// startSecure makes a socket that is selected, connected and has exchanged
// plaintext (a proxy's tunnel) a TLS client for host on the same
// connection: the handshake starts at once, and its outcome comes as one
// FD_CONNECT as above (error 0, kErrCertRejected, or kErrSecureFailed,
// also for a connection that ends or is reset under the handshake); after
// it the socket follows the rules above. Its events go on to the window and message it was
// selected with; those of its plain part already queued may still be
// taken, and a recv or send for them fails with kErrWouldBlock. Bytes of
// the peer's that the core has not received by then are read as TLS.
//   POSIX: OpenSSL 3, opened (libssl.so.3, libcrypto.so.3) by the first
//   secure socket, which also makes the one context of the process; where
//   it cannot be opened, secureSocket fails. Trust is the system's store,
//   with SSL_CERT_FILE and SSL_CERT_DIR honoured. A secure socket is
//   selected before its connect.
//   POSIX: a secure socket is parked and selected again as a plain one.
//   Windows: SChannel, TLS 1.2 or newer. The socket's own events go to a
//   hidden child of the call's window (so the core's filtered loop takes
//   them), which runs the secure link and posts what the core sees. The
//   backend checks the chain and the names itself, trusting no automatic
//   check. SChannel reports TLS 1.3's messages after the handshake
//   (tickets, key updates) as it reports a renegotiation: those are taken,
//   only TLS 1.2's renegotiation is refused. The socket's selection is
//   kept, for startSecure (the system cannot be asked for it).
//   A secure socket is not parked (WSAAsyncSelect with no events refuses
//   it): its helper goes with the call's window, so it closes with its
//   exchange.
//
// Bulk transfers (bulk.cpp). sendFile and recvFile move body bytes between
// a socket and a file without bringing them through the core, where the
// system can do that better than a send after a read or a write after a
// recv; to the core and the socket's events each is the send or the recv
// it stands for. Either may answer kNotServed, having done nothing: always
// on Windows, and for a socket whose bytes the platform transforms (a
// secure one); the core then reads and sends, or receives and writes,
// itself, for the rest of that file.
//   POSIX: sendfile(2), declined when the peer is on this machine, where
//   its copy out of the file's pages costs the peer more than the copy out
//   of bytes just sent; splice(2) through a pipe of the socket's own, into
//   a regular file only.
//
// Lookups (lookups.cpp). A host that addressLiteral reads as an address of
// either family is that address: no lookup is made for it. Any other name:
//     task = WSAAsyncGetAddrInfo(window, msg, name, list, max);
// asks the resolver for the name's addresses of both families. 0 = not
// started, and no message follows. Otherwise exactly one completion message
// follows, unless the lookup is cancelled first: wParam = task, lParam =
// count | error << 16, error 0 = found (kErrHostNotFound ...). When a
// successful completion is taken, list holds count addresses (1 to max) in
// the resolver's order, each once, ports 0; a name with more than max keeps
// its first max. After WSACancelAsyncRequest(task) returns, nothing more is
// written into list and a completion not yet posted never is; the core
// cancels a lookup still under way before it lets go of list.
//   POSIX: the system's resolver on a small pool of worker threads. The
//   window must be the calling thread's, and a cancel comes from that
//   thread; a cancel also takes back a completion queued but not yet taken.
//   The list is written when the completion is taken, so a window destroyed
//   meanwhile has nothing written.
//   Windows: the system's resolver on a worker thread of the lookup's own,
//   which writes the list and then posts the completion to the window.
//
// Activity display (windows.cpp). A shown window displays its exchange's
// progress as the core feeds it (setActivity, about ten times a second
// and once at the end): body bytes sent and received against their totals,
// the percentage where a total is known.
//   POSIX: the one-line display on a terminal, redrawn four times a second
//   with the rate.
//   Windows: the window's title, after "HTTP".
//
// Message boxes (msgbox.cpp). MessageBoxA(nullptr, text, caption,
// kMbIconError) reports a failure to the user; its result is not used. On
// Windows it is modal and its own loop may dispatch the thread's messages
// before it returns, so the core checks its exchange again after one.
//   POSIX: one line "caption: text" on standard error.
//
// Files (files.cpp). The request body is opened before anything of the
// exchange is sent (openRead), its length is taken from the open file
// (fileSize), and it is read in chunks (readFile) and stepped back over
// what the socket did not take (seekCur). Where the reply goes is looked at
// before anything is sent as well (checkOut), changing nothing there; the
// file is created or emptied only once the reply's head has come (openOut).
// The reply body goes straight to a descriptor (writeOut, closeOut), with
// no buffer of the platform's between: what writeOut reports written has
// reached the file, and closeOut's failure still means bytes may be lost.
// Sizes and offsets are 64-bit. A file call that fails leaves the system's
// error number behind it for fileError (errno on POSIX, GetLastError's on
// Windows), until the next file call of the thread fails.
// What a GET may ask about its output is looked at before it is composed
// (fileFacts: a regular file's size and time), and a reply that sends the
// rest of the file is written from the file's end (openAppend). A call that
// keeps the old output until the new one is whole writes the reply to a
// new file beside it instead (openBeside), which either replaces the
// output in one step (replaceWithBeside: the bytes written to the disk, the
// file closed, then renamed over the output, whose old file is never
// opened) or is removed (closeOut, then removeBeside). Calls keeping one
// output at once each get a new file of their own, and the output is at
// every moment its old file or a whole new one. setModified gives an
// output the time its server named; timeNow is the calendar clock.
//   POSIX: checkOut opens a path that is no regular file (a FIFO, a device)
//   at once, without waiting, so that a FIFO with no reader fails there;
//   the descriptor is kept and written, since closing it again would show
//   a FIFO's reader an end of file before the reply. A call that keeps the
//   old output also needs to add a name to the output's folder: checkOut
//   asks that too. A symbolic link is followed: the file it leads to is
//   replaced, the link stays. The new file takes the old one's permission
//   bits (read, write and execute of owner, group and others; never the
//   set-id or sticky bits) and, where the process may give them, its owner
//   and group; without an old file, what a plain create gives (0666 less
//   the umask). The rename is rename(2) after fsync(2).
//   Windows: checkOut looks at names only: the folder is there, the path is
//   no directory, an existing file is not read-only. What only an open
//   tells (the access rights of the folder or the file, another program's
//   lock on it, a read-only volume) shows once the reply's head has come.
//   The new file takes the rights its folder gives new files; the rename
//   is MoveFileEx (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
//   after FlushFileBuffers, and fails, leaving the output as it was, while
//   another program holds the output open without sharing its deletion.
//
// Environment (environment.cpp). environmentText(name, buf, size) gives the
// length of the variable's value, or -1 when it is unset, and copies the
// value, cut to size - 1 bytes and NUL-terminated, into buf (nothing is
// written when buf is null or size is 0). The core reads the proxy
// variables this way at the start of each call, never the environment
// itself.
//   POSIX: the process's environment (getenv), names compared exactly.
//   Windows: every name reads as unset: a call takes no proxy from the
//   environment there.
//
// The system's words (errors.cpp). socketErrorText and fileErrorText give
// the system's own description of an error number (strerror and
// gai_strerror on POSIX, FormatMessage on Windows), for the core's one line
// of why a call failed. secureFailure gives the TLS engine's reason for a
// secure socket's failure (OpenSSL's verify result and error queue;
// SChannel's chain and policy status and its status codes), a certificate's
// in the same words on both: what is wrong with it, then the engine's own.
//
// Signals. No call lets a signal reach the host, which may have left
// SIGPIPE at its default action (ending the process): a write that meets a
// peer or a reader that has gone fails as that write, with the error send
// gives (kErrConnReset, kErrShutdown) or a short count from writeOut.
//   POSIX: sends carry MSG_NOSIGNAL; sendfile, writeOut and the lines on
//   standard error hold SIGPIPE back on the calling thread for the write and
//   take the one it raised before the thread's mask is put back. A SIGPIPE
//   pending before is left to the host, and the process's disposition is
//   never changed.
// ===========================================================================
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define QUODRA_STDCALL __stdcall
#else
#define QUODRA_STDCALL
#endif

namespace plat {

using Hwnd = void*;        // window handle; nullptr = none
using Socket = intptr_t;   // socket handle; kInvalidSocket = none
using WParam = uintptr_t;  // first message parameter
using LParam = intptr_t;   // second message parameter
using LResult = intptr_t;  // window procedure result
using Handle = uintptr_t;  // asynchronous task handle; 0 = not started
using Instance = void*;    // module instance handle

using WndProc = LResult(QUODRA_STDCALL*)(Hwnd, unsigned, WParam, LParam);

// A TCP peer of either family, as the core hands it to connect and a
// lookup hands it back. Not laid out as any system record: each backend
// converts it.
struct SockAddr {
    int family;        // kAfInet or kAfInet6
    uint16_t port;     // network order (htons)
    uint8_t addr[16];  // network order; kAfInet uses the first 4 bytes
    uint32_t scope;    // kAfInet6: interface of a link-local address; else 0
};

struct Msg {
    Hwnd hwnd;        // target window
    unsigned message; // message number
    WParam wParam;    // first parameter
    LParam lParam;    // second parameter
};

struct WndClass {
    unsigned style;          // class style, 0
    WndProc lpfnWndProc;     // window procedure
    int cbClsExtra;          // extra class bytes, 0
    int cbWndExtra;          // extra window bytes, 0
    Instance hInstance;      // owning module
    const char* lpszClassName;
};

// ---- start-up (startup.cpp) -----------------------------------------------
int WSAStartup(uint16_t version);  // 0 = usable
int WSACleanup();

// ---- sockets (sockets.cpp) ------------------------------------------------
int WSAGetLastError();             // last error of this thread
Socket socket(int af, int type, int protocol);
int connect(Socket s, const SockAddr* addr, int len);  // len: sizeof(SockAddr)
int send(Socket s, const char* buf, int len, int flags);
int recv(Socket s, char* buf, int len, int flags);
int closesocket(Socket s);
int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events);
// 1 when the connected socket s, parked between exchanges, is still open
// and has nothing waiting that no request asked for; 0 when its peer has
// closed or reset it (or, plain, sent bytes). Costs no wait and no byte.
int socketIdleOpen(Socket s);

// ---- secure sockets (tls.cpp) ----
// Makes s, made by socket() and neither selected nor connected, a TLS client
// for host (kSecureNoVerify in flags: no certificate check). 0, or
// kSocketError with WSAGetLastError().
int secureSocket(Socket s, const char* host, int flags);
// Makes s, selected and connected, a TLS client for host from now on; its
// handshake's outcome comes as FD_CONNECT. 0, or kSocketError with
// WSAGetLastError() (and no event).
int startSecure(Socket s, const char* host, int flags);
// Why the secure socket s failed (its certificate, its handshake, a record
// or the renegotiation it refused), or why secureSocket or startSecure could
// not make it one, as one line into buf (cut to size, NUL-terminated).
// The length written; 0 when it has not failed.
int secureFailure(Socket s, char* buf, int size);
// 1 with *tick (GetTickCount's clock) once the secure socket s has moved
// bytes on the wire, the tick of the last; 0 for a socket that has moved
// none and for a plain one, whose every byte the core moves itself.
int socketMoved(Socket s, uint32_t* tick);

// ---- bulk transfers (bulk.cpp) --------------------------------------------
// Up to len bytes of the file fd from its position, as send would take them
// after a read; the position moves past exactly what the socket took. The
// count taken (0: the file has nothing more), kSocketError with
// WSAGetLastError() as send sets it, or kNotServed: nothing sent, the
// position kept (a failure reading the file answers so too, and the core's
// own read then meets it).
int sendFile(Socket s, int fd, int len);
// Up to len bytes from the socket, as recv would give them, written to the
// file fd at its position. The count received, every byte of which reached
// the file; 0 at the peer's orderly end; kSocketError with
// WSAGetLastError() as recv sets it; kNotServed: nothing received; or
// kFileFailed: the file refused bytes, and those received are lost.
int recvFile(Socket s, int fd, int len);

// ---- addresses (inet.cpp, address.cpp) ------------------------------------
// The one reader of address literals, the same on every platform: the len
// bytes at text as an IPv4 dotted quad (four decimal parts 0 to 255, no
// leading zero) or an IPv6 address in its colon form (RFC 4291; "::" once;
// a dotted quad as the last 32 bits), without brackets or zone. kAfInet or
// kAfInet6, with the address in *addr (network order, port 0, no scope;
// addr may be null); 0 when the text is anything else: a name.
int addressLiteral(const char* text, size_t len, SockAddr* addr);
// The address a (its family and bytes) as text, as RFC 5952 writes it
// ("127.0.0.1", "2001:db8::1", "::ffff:127.0.0.1"), without brackets or
// port, into buf (cut to size, NUL-terminated); the length written.
int addressText(const SockAddr& a, char* buf, size_t size);
uint16_t htons(uint16_t v);

// ---- lookups (lookups.cpp) ------------------------------------------------
// The name's addresses of both families, at most max of them, into list;
// 0 = not started. The completion's lParam is count | error << 16.
Handle WSAAsyncGetAddrInfo(Hwnd hwnd, unsigned msg, const char* name,
                           SockAddr* list, int max);
// Stops a pending lookup: after it returns nothing more is written into its
// list and no completion is posted. 0 = cancelled, else already complete.
int WSACancelAsyncRequest(Handle task);

// ---- windows (windows.cpp) ------------------------------------------------
int GetClassInfoA(Instance inst, const char* className);  // non-zero = registered
int RegisterClassA(const WndClass* wc);                    // 0 = failed
Hwnd GetActiveWindow();
Hwnd CreateWindowExA(unsigned long exStyle, const char* className,
                     const char* title, unsigned long style, int x, int y,
                     int width, int height, Hwnd parent, void* menu,
                     Instance inst, void* param);
int ShowWindow(Hwnd hwnd, int cmd);
// What the window displays of its exchange while it is shown: body bytes
// sent of sendTotal and received of receiveTotal, a total -1 while unknown.
void setActivity(Hwnd hwnd, double sent, double sendTotal, double received,
                 double receiveTotal);
int DestroyWindow(Hwnd hwnd);
LResult DefWindowProcA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam);

// ---- messages (messages.cpp) ----------------------------------------------
int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam);
// 0 exactly when it takes kWmQuit, -1 on failure, else positive.
int GetMessageA(Msg* msg, Hwnd filter, unsigned min, unsigned max);
int TranslateMessage(const Msg* msg);
LResult DispatchMessageA(const Msg* msg);

// ---- timers (timers.cpp) --------------------------------------------------
uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms);  // kWmTimer every ms
int KillTimer(Hwnd hwnd, uintptr_t id);
uint32_t GetTickCount();  // milliseconds, wrapping

// ---- message boxes (msgbox.cpp) -------------------------------------------
// Modal on Windows; elsewhere a line on standard error. Result not used.
int MessageBoxA(Hwnd owner, const char* text, const char* caption,
                unsigned type);

// ---- files (files.cpp) ----------------------------------------------------
int openRead(const char* path);               // binary, existing regular file; <0 = failed
int readFile(int fd, char* buf, int len);     // count, 0 at end, <0 on error
int64_t seekCur(int fd, int64_t offset);      // new position, <0 on failure
int closeFile(int fd);
int64_t fileSize(int fd);                     // bytes of the open file; <0 = failed
// Whether the reply can go to path: 0 when it can, -1 when no open of it
// can succeed (its folder missing or not writable, a directory, a FIFO
// with no reader ...; with beside non-zero, for a call that keeps the old
// output, also a folder that takes no new name). Nothing at path is
// created or changed. *held gets a descriptor for a path that is no
// regular file, opened here, to be written as the output and closed with
// closeOut; -1 for a path that openOut or openBeside opens when the reply
// comes.
int checkOut(const char* path, int* held, int beside);
int openOut(const char* path);                // binary, created or emptied; <0 = failed
// Writes all len bytes unless the file refuses some (a full disk, an I/O
// error); returns how many it took, so a count below len is a failure.
size_t writeOut(int fd, const char* buf, size_t len);
int closeOut(int fd);                         // 0, else bytes may be lost
// The system's error number behind the thread's last file call that failed;
// 0 when none has.
int fileError();

// ---- the system's words (errors.cpp) --------------------------------------
// The system's description of a socket or lookup error number (as
// WSAGetLastError gives them), or of a file error number (as fileError gives
// them), as one line into buf (cut to size, NUL-terminated). The length
// written; 0 when the system has no words for it.
int socketErrorText(int error, char* buf, int size);
int fileErrorText(int error, char* buf, int size);

struct FileFacts {
    int64_t size;      // bytes
    int64_t modified;  // its last change, seconds since 1970-01-01 UTC
};
// 0 with the facts of the regular file at path; -1 when path names none
// (nothing, a folder, a FIFO, a device, or nothing that can be looked at).
int fileFacts(const char* path, FileFacts* facts);
// The existing regular file at path, opened for writing after its last
// byte (nothing emptied, nothing created); *end gets its size. <0 = failed.
int openAppend(const char* path, int64_t* end);

// The longest path of a new file beside an output, or of the file an
// output's link leads to, with its NUL.
constexpr size_t kPathLimit = 4096 + 64;
// A new file beside an output, from openBeside until it has replaced the
// output or been removed.
struct Beside {
    char temp[kPathLimit];    // the new file's path; "" while there is none
    char target[kPathLimit];  // the path whose file it is to replace
};
// Makes a new empty file beside the output at path (see above for its name
// and its rights) and fills beside; the descriptor, written like one from
// openOut. <0 = failed, and nothing was made.
int openBeside(const char* path, Beside* beside);
// Writes fd's bytes to the disk, closes fd (whatever happens) and renames
// the new file over the target in one step. 0 once the target is the new
// file; -1 when any of it failed: the new file is then removed and the
// target left as it was. beside->temp is "" afterwards.
int replaceWithBeside(int fd, Beside* beside);
// Removes the new file, closed already with closeOut; temp is "" afterwards.
void removeBeside(Beside* beside);
// Gives the open file fd the modification time seconds (since 1970 UTC).
// 0, else -1.
int setModified(int fd, int64_t seconds);
// Now, in seconds since 1970-01-01 UTC.
int64_t timeNow();

// ---- environment (environment.cpp) ---------------------------------------
// The length of the variable name's value (-1 when unset), the value copied
// into buf cut to size - 1 bytes and NUL-terminated.
long environmentText(const char* name, char* buf, size_t size);

// ---- Random bytes ---------------------------------------------------------
// Fills buf with len bytes from the operating system's random source;
// 0 when filled, -1 when the source failed (buf is then of no use).
int randomBytes(void* buf, size_t len);

}  // namespace plat
