#include "common/chunked.h"

#include "common/reply_head.h"
#include "common/token.h"

namespace quodra {

namespace {

// Where the decoder stands: the byte it expects next.
enum Stage {
    SIZE_FIRST,       // the first hex digit of a size
    SIZE,             // more hex digits, or what may follow them
    EXT_NEXT,         // blanks, then ";" or the line end
    EXT_NAME_FIRST,   // blanks, then an extension's name
    EXT_NAME,         // more of the name, or what may follow it
    EXT_AFTER_NAME,   // blanks, then "=", ";" or the line end
    EXT_VALUE_FIRST,  // blanks, then a token or a quoted string
    EXT_TOKEN,        // more of a token value
    EXT_QUOTED,       // inside a quoted string
    EXT_ESCAPED,      // the byte after a backslash in a quoted string
    SIZE_LF,          // the LF after a size line's CR
    DATA,             // a chunk's data (taken in runs, not byte by byte)
    DATA_END,         // the line end after the data
    DATA_LF,          // the LF after the data's CR
    TRAILER_FIRST,    // a trailer line's first byte, or the end of the body
    TRAILER_NAME,     // more of a field's name, or its colon
    TRAILER_VALUE,    // the rest of a field line
    TRAILER_LF,       // the LF after a field line's CR
    LAST_LF,          // the LF after the last line's CR
    DONE,
    BROKEN,
};

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

// A byte a field value or a quoted string may hold: a tab, a space, a
// visible character or any byte above 127.
bool isTextByte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); }

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The size line has ended: the chunk's data follows, or after the last
// chunk the trailer section.
bool endSizeLine(ChunkedBody* b) {
    b->stage = b->left > 0 ? DATA : TRAILER_FIRST;
    b->lineBytes = 0;
    return true;
}

// Where a size or an extension may end: blanks, another extension, or the
// line end.
bool nextExtension(ChunkedBody* b, unsigned char c) {
    if (isBlank(c)) {
        b->stage = EXT_NEXT;
    } else if (c == ';') {
        b->stage = EXT_NAME_FIRST;
    } else if (c == '\r') {
        b->stage = SIZE_LF;
    } else if (c == '\n') {
        return endSizeLine(b);
    } else {
        return false;
    }
    return true;
}

// Takes one byte of a size line, of the line end after data or of the
// trailer section; false when it breaks the body.
bool step(ChunkedBody* b, unsigned char c) {
    // The bytes the decoder reads only to drop them are bounded, so that a
    // peer cannot keep a call reading them for ever.
    if (b->stage != DATA_END && b->stage != DATA_LF && ++b->lineBytes > REPLY_HEAD_LIMIT)
        return false;
    switch (b->stage) {
    case SIZE_FIRST:
    case SIZE: {
        int d = hexValue(c);
        if (d < 0) return b->stage == SIZE && nextExtension(b, c);
        if (b->left >> 59) return false;  // another digit would pass 63 bits
        b->left = b->left * 16 + d;
        b->stage = SIZE;
        return true;
    }
    case EXT_NEXT:
        return nextExtension(b, c);
    case EXT_NAME_FIRST:
        if (isBlank(c)) return true;
        if (!isTokenChar(static_cast<char>(c))) return false;
        b->stage = EXT_NAME;
        return true;
    case EXT_NAME:
        if (isTokenChar(static_cast<char>(c))) return true;
        [[fallthrough]];
    case EXT_AFTER_NAME:
        if (isBlank(c)) {
            b->stage = EXT_AFTER_NAME;
            return true;
        }
        if (c == '=') {
            b->stage = EXT_VALUE_FIRST;
            return true;
        }
        return nextExtension(b, c);
    case EXT_VALUE_FIRST:
        if (isBlank(c)) return true;
        if (c == '"') {
            b->stage = EXT_QUOTED;
        } else if (isTokenChar(static_cast<char>(c))) {
            b->stage = EXT_TOKEN;
        } else {
            return false;
        }
        return true;
    case EXT_TOKEN:
        return isTokenChar(static_cast<char>(c)) || nextExtension(b, c);
    case EXT_QUOTED:
        if (c == '"') {
            b->stage = EXT_NEXT;
        } else if (c == '\\') {
            b->stage = EXT_ESCAPED;
        } else {
            return isTextByte(c);
        }
        return true;
    case EXT_ESCAPED:
        b->stage = EXT_QUOTED;
        return isTextByte(c);
    case SIZE_LF:
        return c == '\n' && endSizeLine(b);
    case DATA_END:
        if (c == '\r') {
            b->stage = DATA_LF;
            return true;
        }
        [[fallthrough]];
    case DATA_LF:
        if (c != '\n') return false;
        b->stage = SIZE_FIRST;
        b->left = 0;
        b->lineBytes = 0;
        return true;
    case TRAILER_FIRST:
        if (c == '\r') {
            b->stage = LAST_LF;
        } else if (c == '\n') {
            b->stage = DONE;
        } else if (isBlank(c) && b->afterField) {
            b->stage = TRAILER_VALUE;
        } else if (isTokenChar(static_cast<char>(c))) {
            b->stage = TRAILER_NAME;
        } else {
            return false;
        }
        return true;
    case TRAILER_NAME:
        if (c == ':') b->stage = TRAILER_VALUE;
        return c == ':' || isTokenChar(static_cast<char>(c));
    case TRAILER_VALUE:
        if (c == '\r') {
            b->stage = TRAILER_LF;
            return true;
        }
        if (c != '\n') return isTextByte(c);
        [[fallthrough]];
    case TRAILER_LF:
        if (c != '\n') return false;
        b->stage = TRAILER_FIRST;
        b->afterField = 1;
        return true;
    case LAST_LF:
        if (c != '\n') return false;
        b->stage = DONE;
        return true;
    default:
        return false;
    }
}

}  // namespace

void initChunked(ChunkedBody* body) {
    *body = ChunkedBody{};
    body->stage = SIZE_FIRST;
}

ChunkedFeed feedChunked(ChunkedBody* b, const char* data, int len, int* used, BodySpan* span) {
    *span = BodySpan{nullptr, 0};
    int i = 0;
    while (i < len && b->stage != DONE && b->stage != BROKEN) {
        if (b->stage == DATA) {
            // One span a call: the data of a second chunk waits for the next.
            if (span->len > 0) break;
            int n = b->left < len - i ? static_cast<int>(b->left) : len - i;
            *span = BodySpan{data + i, n};
            b->left -= n;
            i += n;
            if (b->left == 0) b->stage = DATA_END;
            continue;
        }
        if (!step(b, static_cast<unsigned char>(data[i]))) {
            b->stage = BROKEN;
            break;
        }
        ++i;
    }
    *used = i;
    if (b->stage == DONE) return ChunkedFeed::Done;
    if (b->stage == BROKEN) return ChunkedFeed::Broken;
    return ChunkedFeed::More;
}

}  // namespace quodra
