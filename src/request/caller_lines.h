// Header lines the caller adds to the requests of its thread's calls
// (httpSetOptionText with QUODRA_OPTION_HEADERS), checked once when they
// are given and kept per thread as CR LF lines; and the questions the
// request composition asks of such a set.
#pragma once

namespace quodra {

enum class LinesVerdict {
    Taken,     // the value is now the thread's set
    Refused,   // the value breaks a rule; the set is as it was
    NoMemory,  // "new failed: headerlines" shown; the set is as it was
};

// Checks value, `Name: value` lines separated by LF or CR LF, and writes
// them to *lines as CR LF lines (owned, qalloc; null when value is null or
// holds no line). Blank lines are passed over. The whole value is refused
// for a line whose name (the bytes before its first ':') is not an RFC 9110
// token, a line without a colon, a value holding a control byte other than
// tab (a CR that does not end its line among them), or the names Host,
// Content-Length, Connection and Transfer-Encoding, which the library
// writes itself.
LinesVerdict readCallerLines(const char* value, char** lines);

// Makes value (read as above) the calling thread's set; null or "" clears
// it.
LinesVerdict setCallerLines(const char* value);
// The calling thread's set, null when it has none. Borrowed: a call that
// keeps it for its course takes a copy (copyCallerLines).
const char* callerLines();
// An owned copy of the calling thread's set in *lines (null when it has
// none); false when memory ran out ("new failed: headerlines" shown).
bool copyCallerLines(char** lines);

// True when the set (CR LF lines, may be null) holds a line named name
// (compared in any case).
bool linesHold(const char* lines, const char* name);
// An owned copy of the set without its lines named one of names[0..count)
// in *out (null when none is left); false when memory ran out
// ("new failed: headerlines" shown).
bool linesWithout(const char* lines, const char* const* names, int count, char** out);

}  // namespace quodra
