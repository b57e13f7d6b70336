#include "common/content_range.h"

#include "common/token.h"

namespace quodra {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// One or more digits at *at into *value; false without a digit or past
// INT64_MAX.
bool number(const char** at, const char* end, int64_t* value) {
    const char* p = *at;
    int64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (v > (INT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (p == *at) return false;
    *at = p;
    *value = v;
    return true;
}

}  // namespace

bool readContentRange(const char* text, int len, ContentRange* range) {
    if (!text || len <= 0) return false;
    const char* at = text;
    const char* end = text + len;
    while (at < end && isSpace(*at)) ++at;
    while (end > at && isSpace(end[-1])) --end;
    // The unit, then one space.
    if (end - at < 6 || !sameNoCase(at, 5, "bytes") || at[5] != ' ') return false;
    at += 6;
    ContentRange r{false, -1, -1, -1};
    if (at < end && *at == '*') {
        r.unsatisfied = true;
        ++at;
    } else if (!number(&at, end, &r.first) || at == end || *at++ != '-' ||
               !number(&at, end, &r.last) || r.last < r.first) {
        return false;
    }
    if (at == end || *at++ != '/') return false;
    if (at < end && *at == '*' && !r.unsatisfied) {
        ++at;
    } else if (!number(&at, end, &r.complete) || (!r.unsatisfied && r.last >= r.complete)) {
        return false;
    }
    if (at != end) return false;
    *range = r;
    return true;
}

}  // namespace quodra
