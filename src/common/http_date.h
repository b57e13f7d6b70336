// HTTP dates: the IMF-fixdate a request writes ("Sun, 06 Nov 1994 08:49:37
// GMT") and the three forms RFC 9110 (section 5.6.7) has a recipient read.
// Times are whole seconds since 1970-01-01 00:00:00 UTC, as a file system
// keeps them; nothing here asks the system for the time or the zone.
#pragma once

#include <cstdint>

namespace quodra {

// Bytes of an IMF-fixdate with its NUL.
constexpr int HTTP_DATE_SIZE = 30;

// seconds as an IMF-fixdate into out (HTTP_DATE_SIZE bytes). Times before
// the year 1 or after 9999, which the form cannot write, are taken as its
// first or last second.
void formatHttpDate(int64_t seconds, char* out);

// The date at text[0..len) (white space around it allowed) in any of the
// three forms: IMF-fixdate, the obsolete RFC 850 form and the C library's
// asctime form. now (seconds) places the RFC 850 form's two-digit year: the
// year with those last digits from 49 years before now to 50 after, so that
// none is read as more than 50 years ahead, as the RFC requires. The day's name is not held against the date.
// False for anything else (an unknown name, a day the month lacks, an hour
// past 23 ...).
bool parseHttpDate(const char* text, int len, int64_t now, int64_t* seconds);

}  // namespace quodra
