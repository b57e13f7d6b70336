// The request record, the list of live requests, and the operations that
// compose a request before it goes on the wire: URL splitting and the
// request line, the header block and content length, the form envelope.
#pragma once

#include <cstdint>

#include "common/product.h"
#include "platform/platform.h"

namespace quodra {

// Method codes; 0 and anything outside 1..11 name no method.
enum {
    METHOD_GET = 1,
    METHOD_HEAD = 2,
    METHOD_POST = 3,
    METHOD_OPTIONS = 4,
    METHOD_MKCOL = 5,
    METHOD_PROPFIND = 6,
    METHOD_PROPPATCH = 7,
    METHOD_PUT = 8,
    METHOD_DELETE = 9,
    METHOD_MOVE = 10,
    METHOD_COPY = 11
};

// Transfer states; 1, 4 and 5 name no state.
enum {
    STATE_IDLE = 0,
    STATE_SEND_REQUEST = 2,
    STATE_SEND_HEADERS = 3,
    STATE_SEND_FORMHEADER = 6,
    STATE_SEND_BODY = 7,
    STATE_SEND_FORMFOOTER = 8,
    STATE_RECEIVE = 9,
    STATE_CLOSED = 10
};

// The most addresses of one host name that a call tries, in the resolver's
// order; a name with more keeps its first ones.
constexpr int MAX_ADDRESSES = 16;

// Bytes of the exchange's one transfer buffer: body-file chunks while the
// request goes out, gathered texts, reply pieces while the reply comes in
// (an exchange never does both at once). It comes with the record, in the
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
    char* urn;             // owned: path of the URL, or null
    uint16_t port;         // TCP port, 80 by default (443 when secure)
    int secure;            // 1 for an https URL: the connection is made secure
    int method;            // method code 1..11

    // ---- composition: what goes on the wire ----
    char* request;         // owned: request line with its CR LF
    char* headers;         // owned: header block
    char* formheader;      // owned: form prologue, or null
    char* formfooter;      // owned: form epilogue, or null
    char* contenttype;     // owned: body content type, or null
    char* infile;          // owned: path of the request body file, or null
    int64_t contentlength; // announced request body length; 0 = none

    // ---- sending ----
    plat::Socket sock;     // the TCP socket; -1 when there is none
    // The host's addresses: the host itself when it is numeric, else what
    // its lookup wrote. Part of the record, so nothing is allocated for them.
    plat::SockAddr addrs[MAX_ADDRESSES];
    int addrcount;         // addresses in addrs
    int addrindex;         // the one being tried, or connected to
    plat::Handle lookuptask; // pending host lookup, cancelled if the call ends first
    int state;             // transfer state
    const char* sendbuf;   // borrowed: what the current state sends
    int sendpos;           // bytes of sendbuf already sent
    int sendfromfile;      // 1 when the current state works on a file
    int infd;              // open input file; -1 when closed
    int64_t bytessent;     // request body bytes taken by the socket
    int64_t fileleft;      // body-file bytes still to send of those announced
    int filecopy;          // 1 once the platform declined to send the body file
                           // itself: its chunks are read and sent
    char* io;              // the transfer buffer, right after the record in its
                           // block; null for a record not made by createRequest

    // ---- the reply ----
    char* outfile;         // owned: path of the reply body file
    int outfd;             // open output file; -1 when closed
    char* replyhead;       // owned: reply head received so far
    int replyheadlen;      // bytes in replyhead (it may hold NUL bytes)
    int replyheadcap;      // bytes obtained for replyhead
    int interimbytes;      // bytes of interim (1xx) heads passed over
    int eolcount;          // consecutive CR/LF bytes ending the head so far; 4 = head done
    int eollf;             // 1 when the current CR/LF run holds an LF
    int replystatus;       // status code of the reply, 0 until its head ends
    int64_t replylength;   // reply Content-Length; -1 when none announced
    int64_t replyread;     // reply body bytes written to the output file
    int peerclosed;        // 1 once recv reported an orderly close
    int recvcopy;          // 1 once the platform declined to receive the body
                           // straight into the file: it is received and written

    // ---- the driver ----
    // The event window. Cleared by httpDisconnect once it has posted the
    // quit, so a null window with the record live also means "the quit is
    // on its way": the driver's loop then takes any message of the thread
    // until it takes that quit (see runLoop in api/driver.cpp).
    plat::Hwnd hwnd;
    uint32_t lastprogress; // tick of the last lookup, connect, send or receive
    int result;            // first recorded result code; 0 = none yet
    int neterror;          // socket or lookup error number behind result; 0 = none

    // ---- the options the call started with (later changes do not reach it) ----
    uint32_t idlelimit;    // milliseconds without progress before 10060; 0 = no limit
    int noboxes;           // 1 when this call's errors show no message boxes
    int noverify;          // 1 when this https call takes any certificate
};

// The live records of this thread, newest first.
extern thread_local RequestInfo* reqlist;

// A piece of the request could not be allocated while it was composed: shows
// "new failed: <what>" and records 1, so that no later step adds to the
// request and the driver sends none of it.
void composeFailed(RequestInfo* req, const char* what);

// ---- record and registry ----
// The new record, linked at the head of reqlist, or null (no URL, no host, a
// bracket without its mate, a control byte or a space in the URL, or the
// record or one of its pieces
// could not be allocated).
RequestInfo* createRequest(const char* url, int method);
// 0 when req was live and is now unlinked, closed and released; 1 otherwise.
int destroyRequest(RequestInfo* req);
// Closes the record's input file, output file and socket and marks it
// closed; posts nothing and records nothing. The part of ending an exchange
// that the record itself needs when it is destroyed. Returns 3 (the reply
// cannot be stored) when closing the output file failed, else 0.
int releaseConnection(RequestInfo* req);
// The newest live record using sock, or null (always null for -1).
RequestInfo* getRequest(plat::Socket sock);
// The newest live record using hwnd, or null (always null for null).
RequestInfo* getRequestFromHwnd(plat::Hwnd hwnd);

// ---- URL and request line ----
// Owned copy of the host, or null. A host in brackets ("[::1]") is given
// without them; a bracket without its mate, or empty brackets, give null.
char* getUrlHost(const char* url);
// Owned copy of the path ('/' included), or null when the URL has none.
char* getUrlUrn(const char* url);
// Port named by the URL; when none or 0, 443 for an https URL, else 80.
uint16_t getUrlPort(const char* url);
// Owned request line "METHOD urn HTTP/1.0\r\n", or null.
char* makeRequest(const char* urn, int method);

// ---- header block and content length ----
// Size in bytes of the file at path; 0 when null, missing or unreadable.
int64_t getFileSize(const char* path);
void calculateContentLength(RequestInfo* req);
void setContentType(RequestInfo* req, const char* text);
void addHeaders(RequestInfo* req, const char* text);
void makeHeaders(RequestInfo* req);

// ---- form envelope ----
constexpr int FORM_BOUNDARY_LENGTH = 32;  // characters, each of [A-Za-z0-9]
// Draws a fresh boundary from the system's random source into out
// (FORM_BOUNDARY_LENGTH characters and a NUL); false when the source failed.
bool drawBoundary(char* out);
// Builds the prologue, epilogue and content type around infile with a new
// boundary; a failure (memory, random source) has shown its box and
// recorded 1.
void makeFormEncoding(RequestInfo* req);

}  // namespace quodra
