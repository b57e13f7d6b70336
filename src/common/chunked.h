// A reply body in the chunked transfer coding (RFC 9112, section 7.1): one
// record fed the bytes that follow the reply head, which says where the
// body's own bytes lie among them and where the coded body ends.
//
// What it reads:
// - a chunk size: hex digits in any case, leading zeros allowed, worth at
//   most 63 bits; blanks (space, tab) may follow it;
// - chunk extensions after the size, each ";" name ["=" token or quoted
//   string], blanks around ";" and "=", read by that grammar and dropped;
// - the chunk's data, then the end of its line;
// - after the last chunk (size 0), trailer fields ("name:" value, or a
//   line starting with a blank that folds onto the field before it), read
//   and dropped, up to the empty line that ends the body.
// A line ends with CR LF or, as in the reply head, with a bare LF. A chunk's
// data may hold any byte; in a line, a CR that does not end it or any other
// control byte but a tab breaks the body.
//
// It breaks also where a size is not hex or passes 63 bits, where the data
// is not followed by a line end, and where a size line, or the trailer
// section as a whole, runs past REPLY_HEAD_LIMIT bytes: nothing the decoder
// drops can keep it reading for ever.
//
// Nothing is copied or allocated: the record holds where the decoder stands
// between calls, and the body's bytes are handed back as spans of the input.
#pragma once

#include <cstdint>

namespace quodra {

struct ChunkedBody {
    int stage;       // where the decoder stands (chunked.cpp names the stages)
    int lineBytes;   // bytes of the present size line, or of the trailer section, so far
    int afterField;  // 1 once a trailer field has come: a line may fold onto it
    int64_t left;    // the size being read, then the chunk's data bytes still to come
};

// Bytes of the body among those fed: data[0..len) lies within the input.
struct BodySpan {
    const char* data;  // null when len is 0
    int len;
};

// What feedChunked made of the bytes it was given.
enum class ChunkedFeed {
    More,    // the body goes on: call again with the bytes not taken, or with more
    Done,    // the body has ended; the bytes not taken follow it (a next reply's)
    Broken,  // the first byte not taken breaks the coding; the body cannot be read
};

// A body with nothing taken yet.
void initChunked(ChunkedBody* body);

// Takes bytes of the coded body. *used receives how many were taken and
// *span where the body's bytes are among them. A call hands back at most one
// span: it stops before the data of a second chunk, returning More with
// bytes left, so that the caller writes the span and calls again with the
// rest. A span stands whatever the verdict (on Broken, the body's bytes
// that came before the fault). Once done or broken, it takes nothing more.
ChunkedFeed feedChunked(ChunkedBody* body, const char* data, int len, int* used, BodySpan* span);

}  // namespace quodra
