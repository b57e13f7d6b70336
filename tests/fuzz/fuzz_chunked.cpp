// Fuzz target: the chunked body decoder fed arbitrary bytes, cut into
// arbitrary pieces.
//
// Input: a flags byte (bits 0-2: k), k bytes of piece lengths (each value
// + 1, used in turn), then the coded body's bytes.
//
// Oracle: the verdict, the body's bytes (the spans joined) and the number of
// bytes taken are the same whether the input comes whole, in the pieces or
// byte by byte, and they are those of reference() below, a decoder written
// apart from the library's: it reads whole lines by the grammar of RFC 9112
// section 7.1 where the library steps through bytes. Every span lies within
// the bytes its call took, a call that says More with bytes left has taken
// some, and nothing is allocated.
#include <cstdint>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/chunked.h"
#include "common/reply_head.h"
#include "fuzz_check.h"

using namespace quodra;

namespace {

constexpr size_t npos = std::string::npos;

struct Decoded {
    ChunkedFeed verdict;
    std::string body;
    size_t taken;  // bytes before the body's end, or before the byte that breaks it
    bool operator==(const Decoded& o) const {
        return verdict == o.verdict && body == o.body && taken == o.taken;
    }
};

// The library's decoder, called as a caller would over the pieces.
Decoded decode(const std::vector<std::string>& pieces) {
    ChunkedBody b;
    initChunked(&b);
    long live = qallocLive();
    qallocResetCount();
    Decoded out{ChunkedFeed::More, "", 0};
    for (const std::string& piece : pieces) {
        const char* data = piece.data();
        int len = static_cast<int>(piece.size());
        while (len > 0 && out.verdict == ChunkedFeed::More) {
            int used = -1;
            BodySpan span{nullptr, -1};
            out.verdict = feedChunked(&b, data, len, &used, &span);
            FUZZ_CHECK(used >= 0 && used <= len);
            FUZZ_CHECK(span.len >= 0);
            FUZZ_CHECK(span.len == 0 || (span.data >= data && span.data + span.len <= data + used));
            FUZZ_CHECK(out.verdict != ChunkedFeed::More || used == len || used > 0);
            out.body.append(span.data ? span.data : "", static_cast<size_t>(span.len));
            out.taken += static_cast<size_t>(used);
            data += used;
            len -= used;
        }
        if (out.verdict != ChunkedFeed::More) break;
    }
    FUZZ_CHECK(qallocCount() == 0 && qallocLive() == live);
    return out;
}

// ---- the reference: whole lines, read by the grammar ----

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }
bool isText(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); }
bool isTchar(unsigned char c) {
    static const std::string marks = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           marks.find(static_cast<char>(c)) != npos;
}
int hexDigit(unsigned char c) {
    static const std::string digits = "0123456789abcdef";
    size_t at = digits.find(static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c));
    return at != npos ? static_cast<int>(at) : -1;
}

size_t skipBlanks(const std::string& in, size_t i, size_t to) {
    while (i < to && isBlank(static_cast<unsigned char>(in[i]))) ++i;
    return i;
}
size_t tokenEnd(const std::string& in, size_t i, size_t to) {
    while (i < to && isTchar(static_cast<unsigned char>(in[i]))) ++i;
    return i;
}

// What a line's content (its bytes before the first CR or LF) is.
struct Content {
    size_t fault;   // the first byte that breaks it; npos when none does
    bool complete;  // the line may end after it
};

// chunk-size [ chunk-ext ], blanks allowed at its end too.
Content sizeContent(const std::string& in, size_t from, size_t to, int64_t* size) {
    size_t i = from;
    *size = 0;
    for (int d; i < to && (d = hexDigit(static_cast<unsigned char>(in[i]))) >= 0; ++i) {
        if (*size > (INT64_MAX - d) / 16) return {i, false};
        *size = *size * 16 + d;
    }
    if (i == from) return {i < to ? i : npos, false};
    for (;;) {
        i = skipBlanks(in, i, to);
        if (i == to) return {npos, true};
        if (in[i] != ';') return {i, false};
        i = skipBlanks(in, i + 1, to);
        size_t name = tokenEnd(in, i, to);
        if (name == i) return {i < to ? i : npos, false};
        i = skipBlanks(in, name, to);
        if (i == to || in[i] != '=') continue;
        i = skipBlanks(in, i + 1, to);
        if (i == to) return {npos, false};
        if (in[i] != '"') {
            size_t value = tokenEnd(in, i, to);
            if (value == i) return {i, false};
            i = value;
            continue;
        }
        for (++i;; ++i) {
            if (i == to) return {npos, false};
            unsigned char c = static_cast<unsigned char>(in[i]);
            if (c == '"') break;
            if (c == '\\') {
                if (++i == to) return {npos, false};
                c = static_cast<unsigned char>(in[i]);
            }
            if (!isText(c)) return {i, false};
        }
        ++i;
    }
}

// A trailer field line, or a line folding onto the field before it.
Content trailerContent(const std::string& in, size_t from, size_t to, bool afterField) {
    size_t i = from;
    if (!isBlank(static_cast<unsigned char>(in[i])) || !afterField) {
        size_t name = tokenEnd(in, i, to);
        if (name == i) return {i, false};
        if (name == to) return {npos, false};
        if (in[name] != ':') return {name, false};
        i = name + 1;
    }
    for (; i < to; ++i)
        if (!isText(static_cast<unsigned char>(in[i]))) return {i, false};
    return {npos, true};
}

// Where a line leads: a fault at a byte, the input cut short, or the next
// line at next.
struct Step {
    enum { Fault, Cut, Next } kind;
    size_t at;
};

// The line whose content is [from, to) ends with CR LF or LF at to. Every
// byte from bound on counts against the limit on what is dropped.
Step endLine(const std::string& in, size_t bound, size_t to, Content c) {
    Step s;
    if (c.fault != npos) {
        s = {Step::Fault, c.fault};
    } else if (to == in.size()) {
        s = {Step::Cut, in.size()};
    } else if (!c.complete) {
        s = {Step::Fault, to};
    } else if (in[to] == '\n') {
        s = {Step::Next, to + 1};
    } else if (to + 1 == in.size()) {
        s = {Step::Cut, in.size()};
    } else {
        s = in[to + 1] == '\n' ? Step{Step::Next, to + 2} : Step{Step::Fault, to + 1};
    }
    if (s.at - bound > static_cast<size_t>(REPLY_HEAD_LIMIT))
        s = {Step::Fault, bound + REPLY_HEAD_LIMIT};
    return s;
}

size_t contentEnd(const std::string& in, size_t from) {
    size_t to = in.find_first_of("\r\n", from);
    return to == npos ? in.size() : to;
}

Decoded reference(const std::string& in) {
    std::string body;
    size_t at = 0;
    auto stop = [&](const Step& s) {
        return s.kind == Step::Fault ? Decoded{ChunkedFeed::Broken, body, s.at}
                                     : Decoded{ChunkedFeed::More, body, in.size()};
    };
    for (;;) {
        size_t to = contentEnd(in, at);
        int64_t size = 0;
        Step s = endLine(in, at, to, sizeContent(in, at, to, &size));
        if (s.kind != Step::Next) return stop(s);
        at = s.at;
        if (size == 0) break;
        if (static_cast<uint64_t>(size) > in.size() - at) {
            body += in.substr(at);
            return stop({Step::Cut, in.size()});
        }
        body += in.substr(at, static_cast<size_t>(size));
        at += static_cast<size_t>(size);
        // The data's line end.
        if (at == in.size()) return stop({Step::Cut, at});
        if (in[at] == '\n') {
            at += 1;
        } else if (in[at] != '\r') {
            return stop({Step::Fault, at});
        } else if (at + 1 == in.size()) {
            return stop({Step::Cut, at});
        } else if (in[at + 1] != '\n') {
            return stop({Step::Fault, at + 1});
        } else {
            at += 2;
        }
    }
    const size_t section = at;
    for (bool afterField = false;; afterField = true) {
        size_t to = contentEnd(in, at);
        bool last = to == at;
        Content c = last ? Content{npos, true} : trailerContent(in, at, to, afterField);
        Step s = endLine(in, section, to, c);
        if (s.kind != Step::Next) return stop(s);
        at = s.at;
        if (last) return {ChunkedFeed::Done, body, at};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t flags = size > 0 ? data[0] : 0;
    size_t at = size > 0 ? 1 : 0;
    std::vector<size_t> lengths;
    for (size_t k = flags & 7; k > 0 && at < size; --k) lengths.push_back(data[at++] + 1u);
    const std::string in(reinterpret_cast<const char*>(data) + at, size - at);

    std::vector<std::string> pieces, bytes;
    for (size_t pos = 0, i = 0; pos < in.size(); ++i) {
        size_t n = lengths.empty() ? in.size() : lengths[i % lengths.size()];
        pieces.push_back(in.substr(pos, n));
        pos += n;
    }
    for (char c : in) bytes.push_back(std::string(1, c));

    const Decoded want = reference(in);
    const Decoded whole = decode({in});
    FUZZ_CHECK(whole.verdict != ChunkedFeed::Done || want.verdict == ChunkedFeed::Done);
    FUZZ_CHECK(whole == want);
    FUZZ_CHECK(decode(pieces) == want);
    FUZZ_CHECK(decode(bytes) == want);
    return 0;
}
