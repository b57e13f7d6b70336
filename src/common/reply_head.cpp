#include "common/reply_head.h"

#include <cstring>

#include "common/alloc.h"

namespace quodra {

namespace {

constexpr int HEAD_END = 4;            // line-end bytes in a row that end a head
constexpr int HEAD_FIRST_BLOCK = 512;  // first size of the kept bytes

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Takes head bytes until the head ends or the bytes run out; how many.
int walk(ReplyHead* h, const char* data, int len) {
    int i = 0;
    while (i < len && h->lineEnds < HEAD_END) {
        char c = data[i++];
        if (c == '\n') {
            if (h->lfInRun) {
                h->lineEnds = HEAD_END;
            } else {
                h->lfInRun = 1;
                ++h->lineEnds;
            }
        } else if (c == '\r') {
            ++h->lineEnds;
        } else {
            h->lineEnds = 0;
            h->lfInRun = 0;
        }
    }
    return i;
}

// Appends n bytes to the kept head, growing it by doubling, so that a head
// arriving a byte at a time costs linear work up to its bound.
bool keep(ReplyHead* h, const char* data, int n) {
    int need = h->len + n + 1;
    if (need > h->cap) {
        int cap = h->cap ? h->cap : HEAD_FIRST_BLOCK;
        while (cap < need) cap *= 2;
        char* grown = static_cast<char*>(qalloc(static_cast<size_t>(cap)));
        if (!grown) return false;
        if (h->len > 0) std::memcpy(grown, h->bytes, static_cast<size_t>(h->len));
        qfree(h->bytes);
        h->bytes = grown;
        h->cap = cap;
    }
    if (n > 0) std::memcpy(h->bytes + h->len, data, static_cast<size_t>(n));
    h->len += n;
    h->bytes[h->len] = '\0';
    return true;
}

// One line of a head: [begin, end) without its line end; next is where the
// line after it starts.
struct Line {
    int begin;
    int end;
    int next;
};

Line lineAt(const char* head, int len, int at) {
    const void* lf = std::memchr(head + at, '\n', static_cast<size_t>(len - at));
    int e = lf ? static_cast<int>(static_cast<const char*>(lf) - head) : len;
    int end = (e > at && head[e - 1] == '\r') ? e - 1 : e;
    return Line{at, end, lf ? e + 1 : len};
}

// A line of nothing but CRs is where the header lines stop.
bool blankLine(const char* head, const Line& line) {
    for (int i = line.begin; i < line.end; ++i)
        if (head[i] != '\r') return false;
    return true;
}

// An RFC 9110 token: the only form a header line's name takes.
bool isToken(const char* name) {
    if (!*name) return false;
    for (const char* p = name; *p; ++p) {
        char c = *p;
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c);
        if (!alnum && !std::strchr("!#$%&'*+-.^_`|~", c)) return false;
    }
    return true;
}

bool sameName(const char* head, const Line& line, int colon, const char* name) {
    size_t n = std::strlen(name);
    if (static_cast<size_t>(colon - line.begin) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(head[line.begin + static_cast<int>(i)]) != lower(name[i])) return false;
    return true;
}

// Calls put(c) for each byte of the value read as headerText reads it,
// before trimming: a folded line end is one space, a bare CR a space.
template <typename Put>
void unfold(const HeadValue& v, Put put) {
    for (int i = 0; i < v.len; ++i) {
        char c = v.text[i];
        if (c == '\r') {
            if (i + 1 < v.len && v.text[i + 1] == '\n') continue;
            put(' ');
        } else if (c == '\n') {
            put(' ');
            while (i + 1 < v.len && isBlank(v.text[i + 1])) ++i;
        } else {
            put(c);
        }
    }
}

}  // namespace

void initHead(ReplyHead* head) {
    *head = ReplyHead{};
    head->length = -1;
}

void freeHead(ReplyHead* head) {
    qfree(head->bytes);
    initHead(head);
}

HeadFeed feedHead(ReplyHead* h, const char* data, int len, int* used) {
    *used = 0;
    if (h->done) return HeadFeed::Done;
    while (len > 0) {
        // Stop walking where the head would pass its bound.
        int room = REPLY_HEAD_LIMIT - h->passed - h->len;
        int took = walk(h, data, len < room ? len : room);
        if (h->lineEnds < HEAD_END && h->passed + h->len + took >= REPLY_HEAD_LIMIT)
            return HeadFeed::TooLong;
        // A head missing a piece could hide its Content-Length.
        if (!keep(h, data, took)) return HeadFeed::NoMemory;
        data += took;
        len -= took;
        *used += took;
        if (h->lineEnds < HEAD_END) return HeadFeed::More;

        int status = readReplyStatus(h->bytes, h->len);
        if (status >= 100 && status < 200) {
            // An interim head: forgotten, so that the head after it is kept
            // in its place; its bytes still count against the bound, so that
            // a peer cannot keep the call busy with them for ever.
            h->passed += h->len;
            h->len = 0;
            h->lineEnds = 0;
            h->lfInRun = 0;
            continue;
        }
        h->done = 1;
        h->status = status;
        int64_t length = 0;
        switch (readContentLength(h->bytes, h->len, &length)) {
        case LENGTH_MALFORMED: return HeadFeed::Malformed;
        case LENGTH_ANNOUNCED: h->length = length; break;
        case LENGTH_NONE: break;
        }
        return HeadFeed::Done;
    }
    return HeadFeed::More;
}

bool nextHeader(const char* head, int len, const char* name, int* at, HeadValue* value) {
    // A name that is no token names no line, so that white space or a
    // colon in it can never match a line that is not a header line.
    if (!head || len <= 0 || !name || !isToken(name)) return false;
    int i = *at;
    // The status line is never a header line.
    if (i == 0) i = lineAt(head, len, 0).next;
    while (i < len) {
        Line line = lineAt(head, len, i);
        if (blankLine(head, line)) return false;
        i = line.next;
        // A line that starts with white space continues the one before it;
        // a line without a colon names nothing.
        if (isBlank(head[line.begin])) continue;
        const void* colon = std::memchr(head + line.begin, ':', static_cast<size_t>(line.end - line.begin));
        if (!colon) continue;
        int c = static_cast<int>(static_cast<const char*>(colon) - head);
        if (!sameName(head, line, c, name)) continue;
        int end = line.end;
        while (i < len && isBlank(head[i])) {
            Line more = lineAt(head, len, i);
            end = more.end;
            i = more.next;
        }
        *value = HeadValue{head + c + 1, end - (c + 1)};
        *at = i;
        return true;
    }
    return false;
}

int headerText(const HeadValue& value, char* out, int size) {
    // First the trimmed length, then the copy.
    int total = 0, kept = 0;
    unfold(value, [&](char c) {
        if (total == 0 && isBlank(c)) return;
        ++total;
        if (!isBlank(c)) kept = total;
    });
    if (out && size > 0) {
        int n = kept < size - 1 ? kept : size - 1;
        int at = 0, seen = 0;
        unfold(value, [&](char c) {
            if (seen == 0 && isBlank(c)) return;
            if (seen++ < n) out[at++] = c;
        });
        out[n] = '\0';
    }
    return kept;
}

int headerValue(const char* head, int len, const char* name, char* out, int size) {
    int at = 0;
    HeadValue v;
    if (!nextHeader(head, len, name, &at, &v)) return -1;
    return headerText(v, out, size);
}

LengthVerdict readContentLength(const char* head, int len, int64_t* length) {
    bool found = false;
    int64_t first = 0;
    int at = 0;
    HeadValue v;
    while (nextHeader(head, len, "content-length", &at, &v)) {
        // White space, digits, white space: a sign, a list or anything else
        // makes the framing unknown.
        enum { Before, Digits, After, Bad } stage = Before;
        int64_t n = 0;
        unfold(v, [&](char c) {
            if (isDigit(c) && (stage == Before || stage == Digits)) {
                stage = Digits;
                int d = c - '0';
                n = n > (INT64_MAX - d) / 10 ? INT64_MAX : n * 10 + d;
            } else if (isBlank(c)) {
                if (stage == Digits) stage = After;
            } else {
                stage = Bad;
            }
        });
        if (stage != Digits && stage != After) return LENGTH_MALFORMED;
        if (found && n != first) return LENGTH_MALFORMED;
        found = true;
        first = n;
    }
    if (!found) return LENGTH_NONE;
    *length = first;
    return LENGTH_ANNOUNCED;
}

int readReplyStatus(const char* head, int len) {
    if (!head) return 0;
    const char prefix[] = "http/";
    const int prefixLen = sizeof(prefix) - 1;
    if (len < prefixLen) return 0;
    for (int i = 0; i < prefixLen; ++i)
        if (lower(head[i]) != prefix[i]) return 0;
    int i = prefixLen;
    while (i < len && head[i] != ' ' && head[i] != '\t' && head[i] != '\r' &&
           head[i] != '\n')
        ++i;
    if (i >= len || !isBlank(head[i])) return 0;
    while (i < len && isBlank(head[i])) ++i;
    int code = 0;
    int digits = 0;
    for (; i < len && isDigit(head[i]) && digits < 4; ++i, ++digits)
        code = code * 10 + (head[i] - '0');
    if (digits != 3) return 0;
    // Three digits then the reason, the line end, or the end of the head.
    if (i < len && !isBlank(head[i]) && head[i] != '\r' && head[i] != '\n') return 0;
    return code;
}

}  // namespace quodra
