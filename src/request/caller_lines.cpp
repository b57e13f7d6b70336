#include "request/caller_lines.h"

#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "common/token.h"

namespace quodra {

namespace {

// The names whose lines the library writes from what it knows of the
// request: another value would contradict it, or change the framing.
const char* const OWN_NAMES[] = {"host", "content-length", "connection", "transfer-encoding"};

// One line of a value: [begin, end) without its line end.
struct Line {
    const char* begin;
    const char* end;
    const char* next;  // the line after it, or null at the end
};

Line lineAt(const char* at) {
    const char* lf = std::strchr(at, '\n');
    const char* end = lf ? lf : at + std::strlen(at);
    if (lf && end > at && end[-1] == '\r') --end;
    return Line{at, end, lf ? lf + 1 : nullptr};
}

// The length of a line's name, 0 when the line is not a `Name: value` line
// that may be sent.
int checkedName(const Line& l) {
    const char* p = l.begin;
    while (p < l.end && isTokenChar(*p)) ++p;
    int name = static_cast<int>(p - l.begin);
    if (name == 0 || p == l.end || *p != ':') return 0;
    for (const char* own : OWN_NAMES)
        if (sameNoCase(l.begin, name, own)) return 0;
    for (const unsigned char* v = reinterpret_cast<const unsigned char*>(p + 1);
         v < reinterpret_cast<const unsigned char*>(l.end); ++v)
        if ((*v < 0x20 && *v != '\t') || *v == 0x7F) return 0;
    return name;
}

bool blank(const Line& l) { return l.begin == l.end; }

// The name of a stored line (always well-formed: checked when stored).
int nameLength(const char* line) {
    return static_cast<int>(std::strchr(line, ':') - line);
}

// Walks the stored CR LF lines: calls visit(begin, length with CR LF).
template <typename Visit>
void eachLine(const char* lines, Visit visit) {
    if (!lines) return;
    for (const char* at = lines; *at;) {
        const char* end = std::strstr(at, "\r\n");
        int n = end ? static_cast<int>(end - at) + 2 : static_cast<int>(std::strlen(at));
        visit(at, n);
        at += n;
    }
}

struct Slot {
    char* lines = nullptr;
    ~Slot() { qfree(lines); }
};
thread_local Slot slot;

}  // namespace

LinesVerdict readCallerLines(const char* value, char** lines) {
    *lines = nullptr;
    if (!value) return LinesVerdict::Taken;
    // Checked whole first, then written: a value is taken or refused as a
    // whole.
    size_t size = 1;
    for (const char* at = value; at;) {
        Line l = lineAt(at);
        at = l.next;
        if (blank(l)) continue;
        if (checkedName(l) == 0) return LinesVerdict::Refused;
        size += static_cast<size_t>(l.end - l.begin) + 2;
    }
    if (size == 1) return LinesVerdict::Taken;
    char* out = static_cast<char*>(qalloc(size));
    if (!out) {
        showAllocFailure("headerlines");
        return LinesVerdict::NoMemory;
    }
    char* w = out;
    for (const char* at = value; at;) {
        Line l = lineAt(at);
        at = l.next;
        if (blank(l)) continue;
        size_t n = static_cast<size_t>(l.end - l.begin);
        std::memcpy(w, l.begin, n);
        std::memcpy(w + n, "\r\n", 2);
        w += n + 2;
    }
    *w = '\0';
    *lines = out;
    return LinesVerdict::Taken;
}

LinesVerdict setCallerLines(const char* value) {
    char* lines = nullptr;
    LinesVerdict v = readCallerLines(value, &lines);
    if (v == LinesVerdict::Taken) {
        qfree(slot.lines);
        slot.lines = lines;
    }
    return v;
}

const char* callerLines() { return slot.lines; }

bool copyCallerLines(char** lines) {
    *lines = nullptr;
    if (!slot.lines) return true;
    *lines = copyText(slot.lines, "headerlines");
    return *lines != nullptr;
}

bool linesHold(const char* lines, const char* name) {
    bool found = false;
    eachLine(lines, [&](const char* line, int) {
        found = found || sameNoCase(line, nameLength(line), name);
    });
    return found;
}

bool linesWithout(const char* lines, const char* const* names, int count, char** out) {
    *out = nullptr;
    auto kept = [&](const char* line) {
        for (int i = 0; i < count; ++i)
            if (sameNoCase(line, nameLength(line), names[i])) return false;
        return true;
    };
    size_t size = 0;
    eachLine(lines, [&](const char* line, int n) {
        if (kept(line)) size += static_cast<size_t>(n);
    });
    if (size == 0) return true;
    char* copy = static_cast<char*>(qalloc(size + 1));
    if (!copy) {
        showAllocFailure("headerlines");
        return false;
    }
    char* w = copy;
    eachLine(lines, [&](const char* line, int n) {
        if (!kept(line)) return;
        std::memcpy(w, line, static_cast<size_t>(n));
        w += n;
    });
    *w = '\0';
    *out = copy;
    return true;
}

}  // namespace quodra
