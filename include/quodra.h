/* Quodra: one HTTP/1.0 or WebDAV exchange per call.
 *
 * Each exchange call (httpGet to davCopy, davProppatch, davLock, davUnlock)
 * runs the whole exchange on the calling thread, writes only the reply body
 * to outfile and returns 0 for a complete reply, otherwise a result code
 * below. outfile is created or
 * emptied once the reply's head has come, never before: a call that ends
 * without a reply leaves an earlier file as it was. One that can never be
 * created (its folder missing or not writable, a directory, a FIFO with no
 * reader) ends the call with 3 before anything is sent. The reply's status
 * is not looked at unless QUODRA_OPTION_FAIL_ON_ERROR asks: a 404 page is
 * stored and gives 0 like the file asked for; httpLastStatus tells them
 * apart. QUODRA_OPTION_KEEP_UNTIL_COMPLETE keeps the old outfile until the
 * new one is whole. visible non-zero shows the call's activity window (on
 * POSIX: a one-line display on standard error when it is a terminal).
 *
 * Threads: calls may run at the same time on different threads; each runs
 * on its own thread and shares nothing with the others. httpLastStatus,
 * httpLastHead, httpLastError and httpLastHeader read the calling thread's
 * own last call. httpSetOption may be called from any thread at any time; a
 * call already running keeps the options it started with.
 *
 * Message boxes: errors of the host lookup and of the connect, and memory
 * that ran out, are shown as modal message boxes (on POSIX: a line on
 * standard error) while the call waits, unless turned off with
 * httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0): then nothing is shown
 * anywhere and the result code and httpLastError say what happened. A host
 * without a user (a service, a batch job) should turn them off. */
#ifndef QUODRA_H
#define QUODRA_H

/* QUODRA_VERSION, the version as text ("major.minor.patch"), and
 * QUODRA_VERSION_MAJOR, _MINOR and _PATCH as numbers. */
#include "quodra_version.h"

#if defined(_WIN32) && !defined(_WIN64)
#define QUODRA_API __stdcall
#else
#define QUODRA_API
#endif

/* On Windows the export definition file names the exports and ordinals. */
#if defined(_WIN32)
#define QUODRA_EXPORT
#elif defined(__GNUC__)
#define QUODRA_EXPORT __attribute__((visibility("default")))
#else
#define QUODRA_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the exchange calls; their meanings as text come
 * from httpResultText. */
#define QUODRA_OK 0             /* complete reply */
#define QUODRA_REFUSED 1        /* call refused, or no connection made */
#define QUODRA_NO_OUTPUT 3      /* reply cannot be stored */
#define QUODRA_ENDED_EARLY 4    /* the reply ended early */
#define QUODRA_NO_INPUT 5       /* body file cannot be opened */
#define QUODRA_MALFORMED_HEAD 6 /* the reply head is malformed */
#define QUODRA_TLS_FAILED 7     /* secure connection could not be set up */
#define QUODRA_BODY_SHORT 8     /* body file shrank while it was sent */
#define QUODRA_SEEK_FAILED 9    /* body file could not be repositioned */
#define QUODRA_CERT_REJECTED 10 /* server's certificate was rejected */
#define QUODRA_TOO_MANY_REDIRECTS 11 /* too many redirects */
#define QUODRA_PROXY_REFUSED 12 /* the proxy refused the request: its answer
                                   to CONNECT was not 2xx, or it answered
                                   407; httpLastStatus and httpLastHead give
                                   its reply, and nothing is stored */
#define QUODRA_HTTP_ERROR 13    /* the server answered with an error status */
#define QUODRA_CANCELLED 14     /* the progress callback cancelled the call */
#define QUODRA_TIME_LIMIT 15    /* the call took longer than its time limit */

/* Any other result is a Windows Sockets or lookup error number (on POSIX the
 * system's errors are given the same numbers). These are the ones a call is
 * known to return, or httpLastError to report behind a result 1: */
#define QUODRA_WSA_ACCES 10013           /* permission denied */
#define QUODRA_WSA_ADDRINUSE 10048       /* address in use */
#define QUODRA_WSA_ADDRNOTAVAIL 10049    /* address not available */
#define QUODRA_WSA_NETDOWN 10050         /* network is down */
#define QUODRA_WSA_NETUNREACH 10051      /* network unreachable */
#define QUODRA_WSA_CONNABORTED 10053     /* connection aborted */
#define QUODRA_WSA_CONNRESET 10054       /* connection reset by peer */
#define QUODRA_WSA_NOBUFS 10055          /* no buffer space */
#define QUODRA_WSA_SHUTDOWN 10058        /* the connection was shut down */
#define QUODRA_WSA_TIMEDOUT 10060        /* no progress for the idle limit */
#define QUODRA_WSA_CONNREFUSED 10061     /* connection refused */
#define QUODRA_WSA_HOSTUNREACH 10065     /* host unreachable */
#define QUODRA_WSA_HOST_NOT_FOUND 11001  /* host not found */
#define QUODRA_WSA_TRY_AGAIN 11002       /* host lookup failed for now */
#define QUODRA_WSA_NO_RECOVERY 11003     /* host lookup failed */
#define QUODRA_WSA_NO_DATA 11004         /* the host has no address */

/* Options of httpSetOption. */
#define QUODRA_OPTION_MESSAGE_BOXES 1  /* 1 (default): errors shown as message
                                          boxes; 0: nothing shown. Any
                                          non-zero value means 1. */
#define QUODRA_OPTION_IDLE_LIMIT 2     /* seconds without progress (nothing
                                          looked up, connected, sent or
                                          received) before a call ends with
                                          10060; default 300; 0 = no limit;
                                          at most QUODRA_IDLE_LIMIT_MAX. */
#define QUODRA_OPTION_VERIFY_CERTIFICATES 3  /* 1 (default): an https
                                          server's certificate must be
                                          trusted and name the URL's host,
                                          else the call ends with 10; 0:
                                          UNSAFE, any certificate is taken
                                          (anyone on the path can read and
                                          change the exchange). Any non-zero
                                          value means 1. */
#define QUODRA_OPTION_MAX_REDIRECTS 4  /* redirects (301, 302, 303, 307,
                                          308 with a Location) a call
                                          follows; default 10; 0: none, the
                                          3xx is the reply; at most 20. Past
                                          the limit the call ends with 11. */
#define QUODRA_OPTION_KEEP_UNTIL_COMPLETE 5  /* 1: the reply body goes to a
                                          new file beside outfile (same
                                          folder, a name of its own), which
                                          replaces outfile only when the call
                                          ends with 0: written to the disk,
                                          then renamed over it in one step.
                                          Any other ending removes it and
                                          leaves outfile as it was (or
                                          absent). A device or FIFO is
                                          written as it is. 0 (default):
                                          outfile is emptied when the reply's
                                          head comes and written as the body
                                          arrives. Any non-zero value means
                                          1. */
#define QUODRA_OPTION_FAIL_ON_ERROR 6  /* 1: a reply whose status is 400 or
                                          more ends every call with 13, the
                                          status in httpLastStatus; with
                                          KEEP_UNTIL_COMPLETE on, the page is
                                          stored nowhere and outfile stays
                                          as it was; off, the page is in
                                          outfile. 0 (default): such a page
                                          is a complete reply. Any non-zero
                                          value means 1. */
#define QUODRA_OPTION_RESUME 7         /* httpGet only. 1: when outfile is a
                                          file of N > 0 bytes, the bytes from
                                          N on are asked for (Range); a 206
                                          from N is appended to outfile (a
                                          cut keeps what arrived), a 200
                                          replaces it, a 416 leaves it and
                                          gives 0 when it names the length N
                                          or none (13 for another), a 206
                                          from elsewhere leaves it and gives
                                          6. Default 0. */
#define QUODRA_OPTION_ONLY_IF_NEWER 8  /* httpGet only. 1: when outfile
                                          exists, the file is asked for only
                                          if it changed after outfile's
                                          modification time (If-Modified-
                                          Since); a 304 leaves outfile
                                          untouched and gives 0; a 200
                                          replaces it, and outfile then takes
                                          the reply's Last-Modified time.
                                          Default 0. */

#define QUODRA_OPTION_TIME_LIMIT 9     /* seconds the whole call may take,
                                          all its exchanges together, beside
                                          the idle limit; past it the call
                                          ends with 15. Default 0: no limit;
                                          at most QUODRA_IDLE_LIMIT_MAX. */
#define QUODRA_OPTION_KEEP_ALIVE 10     /* 1: requests are HTTP/1.1 and a
                                          connection whose reply was whole
                                          and framed (a length, or chunked)
                                          is kept, on the calling thread, for
                                          its next call to the same server
                                          (scheme, host, port, proxy): at
                                          most 4 per thread, each closed
                                          after 4 s unused, or by
                                          httpCloseConnections. A kept
                                          connection found closed before any
                                          of the reply came is replaced once.
                                          A PUT's body (and any over 1 MiB)
                                          waits for 100 (Continue), a
                                          second at most.
                                          0 (default): every request is
                                          HTTP/1.0 with "Connection: close".
                                          Any non-zero value means 1. */

/* The largest idle limit, in seconds: its milliseconds still fit a signed
 * 32-bit number. */
#define QUODRA_IDLE_LIMIT_MAX 2147483

/* Options of httpSetOptionText. */
#define QUODRA_OPTION_HEADERS 11  /* header lines for every request of
                                     the calling thread's later calls (each
                                     call takes them as it starts): "Name:
                                     value" lines separated by LF or CR LF
                                     (blank lines are passed over); null or
                                     "" clears them. They go after the
                                     call's own lines and before the
                                     library's; a User-Agent line replaces
                                     the library's; a line named like one
                                     the call writes from its arguments
                                     (Depth, Destination, the Content-Type
                                     of a PROPFIND body or a form) is left
                                     out. Refused whole (-1, nothing
                                     changed) when a name is not an RFC 9110
                                     token, a line has no colon, a value
                                     holds a control byte other than tab, or
                                     a name is Host, Content-Length,
                                     Connection or Transfer-Encoding. */
#define QUODRA_OPTION_PROXY 12    /* process-wide: the HTTP proxy of the calls
                                     that start after it,
                                     "[http://][user[:password]@]host[:port][/]"
                                     (port 1080 when none is named; user and
                                     password percent-decoded, sent to the
                                     proxy only); "" = no proxy, whatever the
                                     environment says; null = the default: on
                                     POSIX the environment at each call
                                     (http_proxy for http URLs, https_proxy
                                     or HTTPS_PROXY for https, all_proxy or
                                     ALL_PROXY when those are unset; never
                                     HTTP_PROXY), on Windows no proxy.
                                     Refused (-1): another scheme, no host, a
                                     path, query or fragment. */
#define QUODRA_OPTION_NO_PROXY 13 /* process-wide: the hosts reached without
                                     the proxy, comma-separated: a name (and
                                     every name below it; a leading dot is
                                     allowed), an IPv4 or IPv6 address or
                                     prefix (addr/bits), or * for all; "" =
                                     none; null = the default: on POSIX
                                     no_proxy or NO_PROXY at each call, on
                                     Windows none. Refused (-1): a control
                                     byte. */

/* GET url into outfile. */
QUODRA_EXPORT int QUODRA_API httpGet(const char* url, const char* outfile, int visible);
/* HEAD url; outfile receives nothing but is created (once the head has
 * come); httpLastHead gives the answer. */
QUODRA_EXPORT int QUODRA_API httpHead(const char* url, const char* outfile, int visible);
/* POST infile as the single "uploadfile" part of a multipart form. */
QUODRA_EXPORT int QUODRA_API httpPostFile(const char* url, const char* infile, const char* outfile, int visible);
/* OPTIONS url; the answer is in the head (httpLastHead). */
QUODRA_EXPORT int QUODRA_API davOptions(const char* url, const char* outfile, int visible);
/* MKCOL url: create a collection. */
QUODRA_EXPORT int QUODRA_API davMkcol(const char* url, const char* outfile, int visible);
/* PROPFIND url; depth >= 0 sends a Depth line; infile (may be null or
 * empty) is sent as the XML body. */
QUODRA_EXPORT int QUODRA_API davPropfind(const char* url, const char* infile, const char* outfile, int depth, int visible);
/* PUT infile to url, bytes unchanged. */
QUODRA_EXPORT int QUODRA_API davPut(const char* url, const char* infile, const char* outfile, int visible);
/* DELETE url. */
QUODRA_EXPORT int QUODRA_API davDelete(const char* url, const char* outfile, int visible);
/* MOVE url to destination; the two middle values are ignored. */
QUODRA_EXPORT int QUODRA_API davMove(const char* url, const char* destination, const char* outfile, int ignored1, int ignored2, int visible);
/* COPY url to destination; the two middle values are ignored. */
QUODRA_EXPORT int QUODRA_API davCopy(const char* url, const char* destination, const char* outfile, int ignored1, int ignored2, int visible);
/* PROPPATCH url with infile (required) as the XML body, sent as
 * Content-Type: application/xml; charset="utf-8". The reply is a
 * multistatus saying what became of each property. */
QUODRA_EXPORT int QUODRA_API davProppatch(const char* url, const char* infile, const char* outfile, int visible);
/* LOCK url. infile null: the library's own body, asking for an exclusive
 * write lock (its owner is the product token, Quodra/x.y.z); "": no body (a
 * refresh, with the lock's "If: (<token>)" line given through
 * QUODRA_OPTION_HEADERS); otherwise the file is the body. A body goes as
 * application/xml like davProppatch's. depth 0 sends "Depth: 0", any other
 * value "Depth: infinity"; timeout > 0 sends "Timeout: Second-<timeout>", 0
 * "Timeout: Infinite", a negative value no Timeout line. The new lock's
 * token is in the reply's Lock-Token line: httpLastHeader("Lock-Token", ...).
 */
QUODRA_EXPORT int QUODRA_API davLock(const char* url, const char* infile, const char* outfile, int depth, int timeout, int visible);
/* UNLOCK url: "Lock-Token: <locktoken>", the angle brackets added when
 * locktoken lacks them. A token that is no URI (empty, holding a space, a
 * control byte such as CR or LF, or an angle bracket other than the pair
 * around it) refuses the call with 1. */
QUODRA_EXPORT int QUODRA_API davUnlock(const char* url, const char* locktoken, const char* outfile, int visible);

/* What the calling thread's last exchange call left. Each is written when
 * that call returns, whatever its result; a call refused before its
 * exchange began (a null argument, a URL without a host) leaves nothing
 * but its httpLastErrorText: 0 from the first three, -1 from httpLastHeader. */

/* The status code of the reply head the last call received (200, 404, 207
 * ...); 0 when it received no whole head, or the head's first line was not a
 * status line. */
QUODRA_EXPORT int QUODRA_API httpLastStatus(void);
/* Copies the last call's reply head (the status line and the header lines,
 * each with its line end, through the blank line that ends the head, as
 * received) into buffer, cut to size - 1 bytes and NUL-terminated; nothing
 * is written when buffer is null or size is 0 or less. Returns the head's
 * whole length without the NUL, so that a caller can ask with size 0 and
 * again with a buffer of that length + 1; 0 when there was no head (also
 * when memory ran out while it was kept). */
QUODRA_EXPORT int QUODRA_API httpLastHead(char* buffer, int size);
/* The Windows Sockets or lookup error number behind the last call's result:
 * 10061 behind a refused connection (result 1), 11001 behind an unknown host,
 * the result itself when it is such a number; behind a result 3 or 5 the
 * system's error number of the file that failed (errno on POSIX, as 2 for a
 * missing file or 28 for a full disk; GetLastError's number on Windows, as 2
 * or 112), 0 when no system error was behind it (a body file that is no
 * regular file, a reply head too long); 0 for a result 0, for a call refused
 * before its exchange, and for results that no such error caused. */
QUODRA_EXPORT int QUODRA_API httpLastError(void);

/* The URL the last call's reply came from, after the redirects it
 * followed, without user or password: the call's URL as given (its
 * userinfo left out) when it followed none. Copied into buffer like
 * httpLastHead; returns the URL's whole length, 0 when there was none. */
QUODRA_EXPORT int QUODRA_API httpLastUrl(char* buffer, int size);

/* The value of the first line named name (in any case) in the last call's
 * reply head, without the name, the colon and the white space around the
 * value (a folded value's line ends read as one space each), copied into
 * buffer like httpLastHead. Returns the value's whole length, or -1 when the
 * head has no such line (also when there was no head, or name is null or
 * no header name). Reads lock tokens, ETags, Location, Content-Type. */
QUODRA_EXPORT int QUODRA_API httpLastHeader(const char* name, char* buffer, int size);

/* The meaning of a result code or error number as one line of text, copied
 * into buffer like httpLastHead. Returns the text's whole length, 0 for a
 * code the library does not know. Thread-safe. */
QUODRA_EXPORT int QUODRA_API httpResultText(int code, char* buffer, int size);

/* Closes the calling thread's kept connections (QUODRA_OPTION_KEEP_ALIVE);
 * a thread's are closed also when it ends. Returns how many were closed. */
QUODRA_EXPORT int QUODRA_API httpCloseConnections(void);

/* Sets a process-wide option (QUODRA_OPTION_...) for the calls that start
 * after it; returns the previous value, or -1 (nothing changed) for an
 * unknown option or a value out of its range. Thread-safe. */
QUODRA_EXPORT int QUODRA_API httpSetOption(int option, int value);

/* A progress callback: called on the calling thread from inside the
 * call's own message loop, at most about ten times a second and once more
 * when the call ends, never while the library is in the middle of a send or
 * a receive. sent and received count the body bytes of the call's current
 * exchange (after a redirect, the last one's); sendTotal is the request
 * body's length (0 for none), receiveTotal the reply's Content-Length (0
 * for a reply without a body), -1 while it is not known. Returning non-zero
 * stops the call at once: it ends with 14 (QUODRA_CANCELLED), everything
 * closed and no further exchange started; the answer to the last call,
 * made once the call has ended, changes nothing. The callback may pump its
 * thread's messages (a form's Cancel button); an exchange call made from
 * inside it is refused with 1. */
typedef int (QUODRA_API *QuodraProgress)(void* context, double sent, double sendTotal,
                                         double received, double receiveTotal);

/* Sets an option whose value is a text for the calls that start after it:
 * QUODRA_OPTION_HEADERS for the calling thread's (each thread has its own),
 * QUODRA_OPTION_PROXY and QUODRA_OPTION_NO_PROXY for the whole process. The
 * text is copied. Returns 0 when it is set, -1 (nothing changed) for an
 * unknown option or a value it refuses (or memory that ran out). */
QUODRA_EXPORT int QUODRA_API httpSetOptionText(int option, const char* value);

/* Sets the progress callback of the calling thread's calls that start after
 * it, with the context it is handed back; null turns it off. Each thread
 * has its own. Returns 0. */
QUODRA_EXPORT int QUODRA_API httpSetProgress(QuodraProgress callback, void* context);

/* One line saying why the calling thread's last call failed: what failed
 * and why, in the words of the system that said it ("connect to
 * 127.0.0.1:8080: connection refused", "certificate of example.test: has
 * expired (notAfter 2025-01-01)", "writing \"out.bin\": no space left on
 * device"); never a password or a URL's user. Copied into buffer like
 * httpLastHead; returns its whole length, 0 (an empty text) for a result 0. */
QUODRA_EXPORT int QUODRA_API httpLastErrorText(char* buffer, int size);

/* The request line and header block of the calling thread's last call's
 * last exchange, as composed and sent (each line with its CR LF, through the
 * blank line), the values of Authorization and Proxy-Authorization lines
 * given as [hidden]. Copied into buffer like httpLastHead; returns its whole
 * length, 0 when the call composed no request. */
QUODRA_EXPORT int QUODRA_API httpLastRequest(char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif
