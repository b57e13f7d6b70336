#include "transfer/reply_head.h"

#include <cstdint>

namespace quodra {

namespace {

const char kName[] = "content-length:";
constexpr int kNameLen = sizeof(kName) - 1;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool startsWithName(const char* p, int left) {
    if (left < kNameLen) return false;
    for (int i = 0; i < kNameLen; ++i)
        if (lower(p[i]) != kName[i]) return false;
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The value starting at head[i]: false unless it is white space, at least
// one digit, white space and the line end (or the end of the head).
bool readValue(const char* head, int len, int i, int64_t* value) {
    while (i < len && isBlank(head[i])) ++i;
    int64_t v = 0;
    int digits = 0;
    for (; i < len && isDigit(head[i]); ++i, ++digits) {
        int d = head[i] - '0';
        v = v > (INT64_MAX - d) / 10 ? INT64_MAX : v * 10 + d;
    }
    while (i < len && isBlank(head[i])) ++i;
    if (digits == 0 || (i < len && head[i] != '\r' && head[i] != '\n')) return false;
    *value = v;
    return true;
}

}  // namespace

LengthVerdict readContentLength(const char* head, int len, int64_t* length) {
    if (!head) return LENGTH_NONE;
    bool found = false;
    int64_t first = 0;
    // The status line is never a header line, so only positions after an
    // LF are looked at.
    for (int i = 0; i < len; ++i) {
        if (head[i] != '\n') continue;
        int start = i + 1;
        if (!startsWithName(head + start, len - start)) continue;
        int64_t value;
        if (!readValue(head, len, start + kNameLen, &value)) return LENGTH_MALFORMED;
        if (found && value != first) return LENGTH_MALFORMED;
        found = true;
        first = value;
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
    if (i >= len || (head[i] != ' ' && head[i] != '\t')) return 0;
    while (i < len && (head[i] == ' ' || head[i] == '\t')) ++i;
    int code = 0;
    int digits = 0;
    for (; i < len && isDigit(head[i]) && digits < 4; ++i, ++digits)
        code = code * 10 + (head[i] - '0');
    if (digits != 3) return 0;
    // Three digits then the reason, the line end, or the end of the head.
    if (i < len && head[i] != ' ' && head[i] != '\t' && head[i] != '\r' &&
        head[i] != '\n')
        return 0;
    return code;
}

}  // namespace quodra
