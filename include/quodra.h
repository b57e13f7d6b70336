/* Quodra: one HTTP/1.0 or WebDAV exchange per call.
 *
 * Each call runs the whole exchange on the calling thread, writes only the
 * reply body to outfile (created or emptied when the reply starts) and
 * returns 0 for a complete reply, otherwise a result code below. visible
 * non-zero shows the call's activity window (on POSIX: a one-line display on
 * standard error when it is a terminal). */
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

/* Result codes. Any other value is a Windows Sockets error number, for
 * example 10054 (connection reset), 10060 (no progress for 300 seconds),
 * 10061 (connection refused) or 11001 (host not found). */
#define QUODRA_OK 0            /* complete reply */
#define QUODRA_REFUSED 1       /* call refused, or no connection made */
#define QUODRA_NO_OUTPUT 3     /* reply cannot be stored */
#define QUODRA_ENDED_EARLY 4   /* the reply ended early */
#define QUODRA_NO_INPUT 5      /* body file cannot be opened */
#define QUODRA_TLS_FAILED 7    /* secure connection could not be set up */
#define QUODRA_BODY_SHORT 8    /* body file shrank while it was sent */
#define QUODRA_SEEK_FAILED 9   /* body file could not be repositioned */
#define QUODRA_CERT_REJECTED 10 /* server's certificate was rejected */

/* GET url into outfile. */
QUODRA_EXPORT int QUODRA_API httpGet(const char* url, const char* outfile, int visible);
/* HEAD url; outfile receives nothing but is created. */
QUODRA_EXPORT int QUODRA_API httpHead(const char* url, const char* outfile, int visible);
/* POST infile as the single "uploadfile" part of a multipart form. */
QUODRA_EXPORT int QUODRA_API httpPostFile(const char* url, const char* infile, const char* outfile, int visible);
/* OPTIONS url. */
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

#ifdef __cplusplus
}
#endif

#endif
