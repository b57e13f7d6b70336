// The request record, the list of live requests, and the operations that
// compose a request before it goes on the wire: URL splitting and the
// request line, the header block and content length, the form envelope.
#pragma once

#include <cstdint>

#include "common/chunked.h"
#include "common/product.h"
#include "common/reply_head.h"
#include "platform/platform.h"
#include "request/url_scan.h"

namespace quodra {

// Method codes, from the one table of methods; anything else names none.
enum Method {
#define QUODRA_METHOD(code, name, wire) METHOD_##name = code,
#include "request/methods.def"
#undef QUODRA_METHOD
};

// The name a method puts on the wire ("GET"), or null for a code that names
// no method.
const char* methodName(int method);

// Where an exchange stands. The sending states come in the order their
// pieces go out; an exchange passes over those its request lacks.
enum class State : uint8_t {
    Idle,          // not connected yet: the host is looked up or connected to
    Tunnel,        // through a proxy, https: the CONNECT request goes out
    TunnelReply,   // ... the proxy's answer to it comes in
    TunnelHandshake,  // ... the tunnel is open and TLS is set up through it
    SendRequest,   // the request line goes out
    SendHeaders,   // the header block goes out
    SendOwnBody,   // the body the library writes itself goes out (a LOCK's request)
    SendFormHead,  // the form prologue goes out
    SendBody,      // the body file goes out
    SendFormFoot,  // the form epilogue goes out
    AwaitContinue, // the head is out and asked for 100 (Continue) before the body:
                   // the server's interim answer, or a short wait, lets the body go
    Receive,       // the reply comes in
    Closed,        // the exchange has ended: everything is closed, its result recorded
};

// The most addresses of one host name that a call tries, in the resolver's
// order; a name with more keeps its first ones.
constexpr int MAX_ADDRESSES = 16;

// Room for the one line that says why an exchange failed, paths included.
constexpr int WHY_SIZE = 1024;

// What the call above an exchange watches it for (transfer.h).
struct CallWatch;

// How the latest connect attempt to fail failed: what the call shows and
// returns when every address has failed.
enum class ConnectFailure : uint8_t {
    None,      // none has failed yet
    NoSocket,  // no socket of its family could be made ("Invalid socket")
    AtOnce,    // connect refused it at once ("Error %d connecting socket")
    Told,      // its connect event told the failure (no box)
};

// No time for the output to take (any other value is seconds since 1970).
constexpr int64_t NO_TIME = INT64_MIN;

// Bytes of the exchange's one transfer buffer: body-file chunks while the
// request goes out, gathered texts, reply pieces as the reply comes in
// (never both within one step: a reply heard while the request goes out is
// read between two sends, and neither keeps bytes in it for the next). It
// comes with the record, in the
// same heap block right after it, so that no chunk or piece costs an
// allocation or a large stack frame on the caller's thread; the record is
// zeroed, the buffer is not: its bytes are only read after being written.
constexpr int TRANSFER_BUFFER = 128 * 1024;

// One HTTP exchange, from its URL to its result. Texts marked owned are heap
// blocks from qalloc released by destroyRequest.
struct RequestInfo {
    // ---- the list and the target ----
    RequestInfo* next;     // next (older) live record; null at the tail
    char* host;            // owned: host name or numeric address (IPv6 without its brackets)
    char* path;            // owned: the request target, path and query ("/" when
                           // the URL names no path), without the fragment
    uint16_t port;         // TCP port, 80 by default (443 when secure)
    char* user;            // owned: the URL's user name, decoded; null without userinfo
    char* password;        // owned: the URL's password, decoded ("" when the
                           // userinfo has no ':'); null without userinfo. Neither
                           // is ever written into the request or any text shown.
    int secure;            // 1 for an https URL: the connection is made secure
    int method;            // method code (METHOD_...)

    // ---- composition: what goes on the wire ----
    char* requestLine;     // owned: request line with its CR LF
    char* headers;         // owned: header block
    char* formHead;        // owned: form prologue, or null
    char* formFoot;        // owned: form epilogue, or null
    char* contentType;     // owned: body content type, or null
    char* inFile;          // owned: path of the request body file, or null
    const char* ownBody;   // borrowed, static: the body the library writes itself
                           // in place of a file (a LOCK's request); null for none
    int64_t bodyLength;    // announced request body length; 0 = none

    // ---- the proxy, when one carries the exchange ----
    char* proxyHost;       // owned: the proxy's host, looked up and connected to
                           // instead of host; null when the exchange goes direct
    uint16_t proxyPort;    // the proxy's TCP port
    char* tunnelRequest;   // owned: the CONNECT request that opens a tunnel to the
                           // server through the proxy (https); null for none
    ReplyHead tunnelHead;  // the proxy's 2xx answer to it, kept once the tunnel is
                           // open (head holds the server's reply from then on)

    // ---- reaching the peer ----
    // The host's addresses: the host itself when it is numeric, else what
    // its lookup wrote, the families interleaved. Part of the record, so
    // nothing is allocated for them.
    plat::SockAddr addrs[MAX_ADDRESSES];
    int addrCount;         // addresses in addrs
    int addrNext;          // the next address an attempt is started for
    plat::Handle lookupTask; // pending host lookup, cancelled if the call ends first
    // Connect attempts under way, one socket per address, the oldest first:
    // the first to connect becomes sock, and the others are closed then.
    plat::Socket attempts[MAX_ADDRESSES];
    int attemptAddrs[MAX_ADDRESSES];  // the address (index in addrs) of each attempt
    int attemptCount;      // sockets in attempts
    uint32_t attemptAt;    // tick at which the latest attempt was started
    int raceTimer;         // 1 while the timer that starts the next attempt runs
    ConnectFailure lastFailure;  // how the latest attempt to fail failed
    int lastFailError;     // ... and the error number it failed with
    int lastFailAddr;      // ... and the address (index in addrs) it was for
    int peerAddr;          // the address (index in addrs) sock is connected to

    // ---- sending ----
    plat::Socket sock;     // the connected TCP socket; -1 when there is none
    State state;           // where the exchange stands
    const char* sendText;  // borrowed: the text the current state sends; null for none
    int sendPos;           // bytes of sendText already sent
    int inFd;              // the body file, opened when the exchange was composed
                           // and closed once it has gone out; -1 when closed
    int64_t bodySent;      // request body bytes taken by the socket
    int64_t fileLeft;      // body-file bytes still to send of those announced
    int fileByCopy;        // 1 once the platform declined to send the body file
                           // itself: its chunks are read and sent
    int sendError;         // error of a send that failed; 0 = none
    char* io;              // the transfer buffer, right after the record in its
                           // block; null for a record not made by createRequest

    // ---- the reply ----
    char* outFile;         // owned: path of the reply body file
    int outFd;             // the output, open once the reply's head has come; -1 when closed
    int outHeld;           // borrowed from the call: its output held open since it was
                           // checked (a FIFO, a device), written as outFd and not
                           // closed with the exchange; -1 for none
    ReplyHead head;        // the reply head as it comes in, and what it says
    int64_t bodyStored;    // reply body bytes written to the output file
    int peerEnded;         // 1 once the peer ended the connection in order
    int closeError;        // error of the close event being handled; 0 = none
    int recvByCopy;        // 1 once the platform declined to receive the body
                           // straight into the file: it is received and written

    // ---- a persistent connection, when the call asked for one ----
    int keepAlive;         // 1: the request is HTTP/1.1, without "Connection: close",
                           // and its connection may be kept for the next exchange
    int reused;            // 1: the exchange runs on a connection kept from an earlier one
    int freshOnly;         // 1: no kept connection is taken (the one taken was found closed)
    int chunked;           // 1: the reply body comes in the chunked coding
    ChunkedBody chunks;    // ... where its decoder stands
    int chunksDone;        // ... 1 once the coded body has ended
    int expectContinue;    // 1: the head asks for 100 (Continue) and the body waits for it
    int unfit;             // 1 once the connection cannot carry another request: bytes
                           // came after the whole reply, or the request was cut short

    // ---- the caller's file: what the call asked of it ----
    int keep;              // 1: the reply goes to a new file beside the output, which
                           // replaces it only when the exchange ends with 0
    int failOnError;       // 1: a final status of 400 or more ends the exchange with 13
    int stampModified;     // 1: a 200's Last-Modified becomes the output's time
    int askedModified;     // 1 once the request asks for the file only if it changed
                           // after the output's time (If-Modified-Since)
    int64_t resumeFrom;    // the output's size, from which the request asks for the
                           // rest (Range); 0 = the whole is asked for
    int64_t modified;      // the time the output takes when the exchange ends with 0;
                           // NO_TIME for none
    plat::Beside beside;   // the new file beside the output, while there is one

    // ---- the driver ----
    plat::Hwnd hwnd;       // the exchange's event window; null when it has none
    uint32_t lastProgress; // tick of the last lookup, connect, send or receive
    int result;            // first recorded result code; 0 = none yet
    int netError;          // socket or lookup error number behind result; 0 = none
    int fileError;         // the system's error number behind a result 3 or 5; 0 = none
    int bodyReadError;     // the system's error number of a failed read of the body file
    char why[WHY_SIZE];    // one line: what failed and why, in the words of the
                           // system that said it; empty while nothing has
    CallWatch* watch;      // borrowed from the call: its progress callback and
                           // time limit; null for an exchange outside a call
    int quitOwed;          // 1 when the exchange ended while the host's progress
                           // callback ran: its quit is posted once the callback
                           // has returned, so no loop of the host's takes it

    // ---- the call around the exchange ----
    // Asked once the final head has arrived whole, before anything of its
    // body is stored (null: every reply is kept): HEAD_KEPT; HEAD_PASSED_ON,
    // the call answers or follows the reply, which ends the exchange at
    // once with its body neither stored nor waited for; or a result code
    // the call ends with, the reply not stored.
    int (*judgeHead)(void* call, const RequestInfo* req);
    void* judgeCall;       // borrowed: what judgeHead is asked with
    int headJudged;        // 1 once judgeHead has been asked about the final head
    int passedOn;          // 1 once the reply was passed on

    // ---- the options the call started with (later changes do not reach it) ----
    uint32_t idleLimitMs;  // milliseconds without progress before 10060; 0 = no limit
    int noBoxes;           // 1 when this call's errors show no message boxes
    int noVerify;          // 1 when this https call takes any certificate
};

// What judgeHead makes of a reply besides a result code.
constexpr int HEAD_KEPT = 0;
constexpr int HEAD_PASSED_ON = -1;

// The live records of this thread, newest first.
extern thread_local RequestInfo* liveRequests;

// A piece of the request could not be allocated while it was composed: shows
// "new failed: <what>" and records 1, so that no later step adds to the
// request and the driver sends none of it.
void composeFailed(RequestInfo* req, const char* what);

// ---- record and registry ----
// The new record, linked at the head of liveRequests, or null (a URL
// splitUrl refuses, a code that names no method, or the record or one of
// its pieces could not be allocated).
RequestInfo* createRequest(const char* url, int method);
// 0 when req was live and is now unlinked, closed and released; 1 otherwise.
int destroyRequest(RequestInfo* req);
// Closes the record's input file, output file (not one the call holds),
// socket and connect attempts and marks it closed; posts nothing and
// records nothing. The part of ending an exchange that the record itself
// needs when it is destroyed. Returns 3 (the reply cannot be stored) when
// closing the output file failed, else 0.
int releaseConnection(RequestInfo* req);
// The newest live record using sock, as its connected socket or as one of
// its connect attempts, or null (always null for -1).
RequestInfo* getRequest(plat::Socket sock);
// The newest live record using hwnd, or null (always null for null).
RequestInfo* getRequestFromHwnd(plat::Hwnd hwnd);

// ---- URL and request line ----
// Owned pieces of a URL splitUrl has read, or null with the allocation
// failure shown: the host (an IPv6 address without its brackets), the
// request target ("/" before a query or in place of a missing path), and
// the user and password, decoded.
char* getUrlHost(const UrlParts& parts);
char* getUrlTarget(const UrlParts& parts);
char* getUrlUser(const UrlParts& parts);
char* getUrlPassword(const UrlParts& parts);
// Owned copy of url without its userinfo and the '@' after it: the URL as
// it may be shown or handed back. Null when splitUrl refuses the URL, or
// with the allocation failure shown.
char* urlWithoutUserinfo(const char* url);
// Owned request line "METHOD path HTTP/1.0\r\n", or null.
char* makeRequestLine(const char* path, int method);
// Makes the request line of req, however it was made (direct or for a
// proxy), say HTTP/1.1: the same bytes but the last digit, so nothing is
// allocated. For a request that keeps its connection.
void speakHttp11(RequestInfo* req);

// ---- the body file and the length of the body ----
// Opens the body file for this exchange, before anything of it is sent, so
// that the length announced is that of the file sent and a file that cannot
// be sent stops the exchange before it starts. 0 when it is open or the
// request has no file part; RESULT_NO_INPUT (5) when it cannot be opened or
// is no regular file (or a form names no file).
int openBody(RequestInfo* req);
// Size in bytes of the open file fd; 0 when there is none or it cannot be told.
int64_t getFileSize(int fd);
// The body length: the library's own body, or the open body file and the
// form envelope around it.
void calculateContentLength(RequestInfo* req);

// ---- header block ----
void setContentType(RequestInfo* req, const char* text);
void addHeaders(RequestInfo* req, const char* text);
void makeHeaders(RequestInfo* req);
// What a GET asks about its output file, when the output is a regular file:
// with resume, only the bytes after the file's last one (a Range line, and
// resumeFrom), when it has any; with onlyIfNewer, the file only if it changed
// after the output's time (an If-Modified-Since line, and askedModified).
void askAboutOutput(RequestInfo* req, int resume, int onlyIfNewer);

// ---- form envelope ----
constexpr int FORM_BOUNDARY_LENGTH = 32;  // characters, each of [A-Za-z0-9]
// Draws a fresh boundary from the system's random source into out
// (FORM_BOUNDARY_LENGTH characters and a NUL); false when the source failed.
bool drawBoundary(char* out);
// Builds the prologue, epilogue and content type around inFile with a new
// boundary, the part named by the file's base name; a failure (memory,
// random source) has shown its box and recorded 1.
void makeFormEncoding(RequestInfo* req);

}  // namespace quodra
