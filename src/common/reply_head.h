// The reply head: one record fed the bytes of a reply until its head has
// ended, and the one place where what a head says is read: its status, its
// Content-Length, and the value of any header line by name.
//
// The head ends at four CR/LF bytes in a row in any mix, or at a second LF
// with only CRs since the first (so that a server ending its lines with a
// bare LF is understood). Interim (1xx) heads are passed over: the head kept
// is the final one, and the bytes of those before it count against the
// bound. The head is kept as it arrived (it may hold NUL bytes, so every
// reader takes its length).
//
// Reading allocates nothing; keeping the bytes grows one block by doubling.
#pragma once

#include <cstdint>

namespace quodra {

// The longest reply head taken, interim heads included.
constexpr int REPLY_HEAD_LIMIT = 262144;

struct ReplyHead {
    char* bytes;     // owned (qalloc): the final head as received, NUL after it; null until its first byte
    int len;         // bytes held
    int cap;         // bytes obtained for bytes
    int passed;      // bytes of interim heads passed over
    int lineEnds;    // CR/LF bytes in a row at the end of what was taken; 4 = the end
    int lfInRun;     // 1 when that run holds an LF
    int done;        // 1 once the final head has ended
    int status;      // its status code once done; 0 when its first line is not a status line
    int64_t length;  // its Content-Length; -1 when it announces none (or is malformed)
};

// What feedHead made of the bytes it was given.
enum class HeadFeed {
    More,       // every byte was head, and the head goes on
    Done,       // the head has ended; the bytes after it are body
    Malformed,  // the head has ended and its framing is malformed (its Content-Length)
    TooLong,    // the head did not end within REPLY_HEAD_LIMIT
    NoMemory,   // the head could not grow
};

// A head with nothing taken yet.
void initHead(ReplyHead* head);
// Releases what the head holds and makes it empty again.
void freeHead(ReplyHead* head);

// Takes bytes of a reply until its final head has ended; *used receives how
// many were taken (on Done and Malformed the rest is body). Once done, it
// takes nothing more.
HeadFeed feedHead(ReplyHead* head, const char* data, int len, int* used);

// ---- reading a head ----
// A header line's value as it stands in the head: from after the colon to
// the end of the line, continuation (folded) lines included.
struct HeadValue {
    const char* text;
    int len;
};

// Walks the header lines named name (any case; the whole name up to the
// colon must match, so "Content-Length :" is no such line; a name that is
// not an RFC 9110 token names none) in their order: *at starts at 0; false
// when there is no further one.
bool nextHeader(const char* head, int len, const char* name, int* at, HeadValue* value);
// The value without leading and trailing white space, each folded line end
// (a line end and the white space after it) read as one space, as RFC 9112
// says, and a bare CR as a space. Copied into out cut to size - 1 bytes and
// NUL-terminated (nothing is written when out is null or size is not
// positive); returns the whole length.
int headerText(const HeadValue& value, char* out, int size);
// The first line named name, copied as headerText does; -1 when the head has
// no such line.
int headerValue(const char* head, int len, const char* name, char* out, int size);

// The status code of the head's first line ("HTTP/x.y 204 ..." gives 204),
// or 0 when that line is not a readable status line.
int readReplyStatus(const char* head, int len);

// What the Content-Length lines of a head say: each value is white space,
// decimal digits and white space; every line must give the same number.
enum LengthVerdict {
    LENGTH_NONE = 0,       // no such line
    LENGTH_ANNOUNCED = 1,  // every such line gives the same value, *length
    LENGTH_MALFORMED = -1  // a value that is not a plain decimal number (a
                           // negative one, say), or two that differ
};
// Values too large for 63 bits stop at INT64_MAX. *length is set only for
// LENGTH_ANNOUNCED.
LengthVerdict readContentLength(const char* head, int len, int64_t* length);

}  // namespace quodra
