// HTTP dates written as IMF-fixdate and read in the three forms RFC 9110
// names, against the RFC's own example and the calendar's edges; and the
// Content-Range values a reply to a range request carries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/content_range.h"
#include "common/http_date.h"

using namespace quodra;

namespace {

constexpr int64_t EXAMPLE = 784111777;     // Sun, 06 Nov 1994 08:49:37 GMT
constexpr int64_t IN_2025 = 1735689600;    // Wed, 01 Jan 2025 00:00:00 GMT
constexpr int64_t IN_1999 = 915148800;     // Fri, 01 Jan 1999 00:00:00 GMT

std::string written(int64_t seconds) {
    char out[HTTP_DATE_SIZE];
    std::memset(out, '#', sizeof out);
    formatHttpDate(seconds, out);
    return out;
}

TEST(HttpDate, WritesImfFixdate) {
    struct Case {
        int64_t seconds;
        const char* text;
    };
    const Case cases[] = {
        {EXAMPLE, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {4107542399, "Sun, 28 Feb 2100 23:59:59 GMT"},
        {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},  // 2100 has no 29 February
        {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
        {253402300800, "Fri, 31 Dec 9999 23:59:59 GMT"},  // past the form: its last second
        {-62135596800, "Mon, 01 Jan 0001 00:00:00 GMT"},
        {-62135596801, "Mon, 01 Jan 0001 00:00:00 GMT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(written(c.seconds), c.text);
    }
}

TEST(HttpDate, ReadsTheThreeFormsAndWhatItWrites) {
    struct Case {
        const char* text;
        int64_t now;
        bool date;        // false: not a date
        int64_t seconds;
    };
    const Case cases[] = {
        // RFC 9110's example in its three forms.
        {"Sun, 06 Nov 1994 08:49:37 GMT", IN_2025, true, EXAMPLE},
        {"Sunday, 06-Nov-94 08:49:37 GMT", IN_2025, true, EXAMPLE},
        {"Sun Nov  6 08:49:37 1994", IN_2025, true, EXAMPLE},
        {"Sun Nov 06 08:49:37 1994", IN_2025, true, EXAMPLE},
        {"  Sun, 06 Nov 1994 08:49:37 GMT\t", IN_2025, true, EXAMPLE},
        {"Tue, 29 Feb 2000 00:00:00 GMT", IN_2025, true, 951782400},
        {"Thu, 01 Jan 1970 00:00:00 GMT", IN_2025, true, 0},
        {"Wed, 31 Dec 1969 23:59:59 GMT", IN_2025, true, -1},
        // Two-digit years: none more than 50 years ahead of now.
        {"Sunday, 01-Jan-75 00:00:00 GMT", IN_2025, true, 3313526400},    // 2075
        {"Sunday, 01-Jan-76 00:00:00 GMT", IN_2025, true, 189302400},     // 1976
        {"Sunday, 01-Jan-05 00:00:00 GMT", IN_1999, true, 1104537600},    // 2005, not 1905
        {"Sunday, 01-Jan-49 00:00:00 GMT", IN_1999, true, 2493072000},    // 2049
        {"Sunday, 01-Jan-50 00:00:00 GMT", IN_1999, true, -631152000},    // 1950
        // Not dates.
        {"", IN_2025, false, 0},
        {"Sun, 6 Nov 1994 08:49:37 GMT", IN_2025, false, 0},
        {"sun, 06 Nov 1994 08:49:37 GMT", IN_2025, false, 0},
        {"Sun, 06 nov 1994 08:49:37 GMT", IN_2025, false, 0},
        {"Sun, 06 Nov 1994 08:49:37 UTC", IN_2025, false, 0},
        {"Sun, 06 Nov 1994 08:49:37 GMT x", IN_2025, false, 0},
        {"Sun, 06 Nov 94 08:49:37 GMT", IN_2025, false, 0},
        {"Sunday, 06-Nov-1994 08:49:37 GMT", IN_2025, false, 0},
        {"Sun, 31 Nov 1994 08:49:37 GMT", IN_2025, false, 0},
        {"Mon, 29 Feb 1900 00:00:00 GMT", IN_2025, false, 0},
        {"Sun, 00 Nov 1994 08:49:37 GMT", IN_2025, false, 0},
        {"Sun, 06 Nov 1994 24:00:00 GMT", IN_2025, false, 0},
        {"Sun, 06 Nov 1994 08:60:00 GMT", IN_2025, false, 0},
        {"Sun, 06 Nov 1994 08:49:61 GMT", IN_2025, false, 0},
        {"Sun Nov 6 08:49:37 1994", IN_2025, false, 0},
        {"1994-11-06T08:49:37Z", IN_2025, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t got = 12345;
        bool read = parseHttpDate(c.text, static_cast<int>(std::strlen(c.text)), c.now, &got);
        EXPECT_EQ(read, c.date);
        EXPECT_EQ(got, read ? c.seconds : 12345) << "a date written where none was read";
    }
    // What the writer writes, the reader reads back, second for second.
    for (int64_t t : {int64_t{0}, EXAMPLE, IN_2025 + 86399, int64_t{-86401}, int64_t{253402300799}}) {
        std::string text = written(t);
        int64_t got = 0;
        EXPECT_TRUE(parseHttpDate(text.c_str(), static_cast<int>(text.size()), IN_2025, &got)) << text;
        EXPECT_EQ(got, t) << text;
    }
}

TEST(ContentRange, ReadsTheByteRangeForms) {
    struct Case {
        const char* text;
        bool read;
        ContentRange range;
    };
    const Case cases[] = {
        {"bytes 10-19/20", true, {false, 10, 19, 20}},
        {"bytes 0-0/1", true, {false, 0, 0, 1}},
        {"BYTES 10-19/*", true, {false, 10, 19, -1}},
        {" bytes */20 ", true, {true, -1, -1, 20}},
        {"bytes 5000000000-5000000009/5000000010", true, {false, 5000000000, 5000000009, 5000000010}},
        {"", false, {}},
        {"bytes", false, {}},
        {"bytes 10-9/20", false, {}},
        {"bytes 10-20/20", false, {}},
        {"bytes */*", false, {}},
        {"bytes 10-/20", false, {}},
        {"bytes -19/20", false, {}},
        {"bytes 10-19", false, {}},
        {"bytes=10-19/20", false, {}},
        {"items 10-19/20", false, {}},
        {"bytes 10-19/20 x", false, {}},
        {"bytes +1-2/3", false, {}},
        {"bytes 1-99999999999999999999/*", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ContentRange got{false, 7, 7, 7};
        EXPECT_EQ(readContentRange(c.text, static_cast<int>(std::strlen(c.text)), &got), c.read);
        if (!c.read) {
            EXPECT_EQ(got.first, 7) << "written without a range";
            continue;
        }
        EXPECT_EQ(got.unsatisfied, c.range.unsatisfied);
        EXPECT_EQ(got.first, c.range.first);
        EXPECT_EQ(got.last, c.range.last);
        EXPECT_EQ(got.complete, c.range.complete);
    }
}

}  // namespace
