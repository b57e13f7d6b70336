#include "common/http_date.h"

#include <cstring>

namespace quodra {

namespace {

const char* const DAY_NAMES[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const LONG_DAY_NAMES[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
const char* const MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int64_t DAY = 86400;

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar
// (month 1 to 12), for any year: the calendar repeats every 400 years, and
// a year counted from March puts the leap day at its end.
int64_t daysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The date daysFromCivil gives days for.
void civilFromDays(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    *year = yearOfEra + era * 400 + (*month <= 2);
}

int daysInMonth(int64_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Reads the fixed grammar of a date form by form, from a start of its own.
struct Cursor {
    const char* at;
    const char* end;

    bool literal(const char* text) {
        const char* p = at;
        for (; *text; ++text, ++p)
            if (p == end || *p != *text) return false;
        at = p;
        return true;
    }
    // Exactly count digits.
    bool digits(int count, int* value) {
        if (end - at < count) return false;
        int v = 0;
        for (int i = 0; i < count; ++i) {
            if (at[i] < '0' || at[i] > '9') return false;
            v = v * 10 + (at[i] - '0');
        }
        at += count;
        *value = v;
        return true;
    }
    // One of names, as written (the names are case-sensitive); its index.
    bool name(const char* const* names, int count, int* index) {
        for (int i = 0; i < count; ++i)
            if (literal(names[i])) {
                *index = i;
                return true;
            }
        return false;
    }
    bool time(int* hour, int* minute, int* second) {
        return digits(2, hour) && literal(":") && digits(2, minute) && literal(":") &&
               digits(2, second) && *hour <= 23 && *minute <= 59 && *second <= 60;
    }
    bool done() const { return at == end; }
};

struct Fields {
    int64_t year;
    int month;  // 1 to 12
    int day, hour, minute, second;
};

// "Sun, 06 Nov 1994 08:49:37 GMT"
bool readFixdate(Cursor c, Fields* f) {
    int weekday, year;
    if (!c.name(DAY_NAMES, 7, &weekday) || !c.literal(", ") || !c.digits(2, &f->day) ||
        !c.literal(" ") || !c.name(MONTH_NAMES, 12, &f->month) || !c.literal(" ") ||
        !c.digits(4, &year) || !c.literal(" ") || !c.time(&f->hour, &f->minute, &f->second) ||
        !c.literal(" GMT") || !c.done())
        return false;
    f->year = year;
    ++f->month;
    return true;
}

// "Sunday, 06-Nov-94 08:49:37 GMT"
bool readRfc850(Cursor c, int64_t now, Fields* f) {
    int weekday, twoDigits;
    if (!c.name(LONG_DAY_NAMES, 7, &weekday) || !c.literal(", ") || !c.digits(2, &f->day) ||
        !c.literal("-") || !c.name(MONTH_NAMES, 12, &f->month) || !c.literal("-") ||
        !c.digits(2, &twoDigits) || !c.literal(" ") ||
        !c.time(&f->hour, &f->minute, &f->second) || !c.literal(" GMT") || !c.done())
        return false;
    int64_t nowYear;
    int nowMonth, nowDay;
    civilFromDays(now >= 0 ? now / DAY : -((-now + DAY - 1) / DAY), &nowYear, &nowMonth, &nowDay);
    // The year with those last digits from 49 years before now to 50 after.
    int64_t century = nowYear >= 0 ? nowYear / 100 : -((-nowYear + 99) / 100);
    f->year = century * 100 + twoDigits;
    if (f->year > nowYear + 50) f->year -= 100;
    if (f->year <= nowYear - 50) f->year += 100;
    ++f->month;
    return true;
}

// "Sun Nov  6 08:49:37 1994"
bool readAsctime(Cursor c, Fields* f) {
    int weekday, year;
    if (!c.name(DAY_NAMES, 7, &weekday) || !c.literal(" ") ||
        !c.name(MONTH_NAMES, 12, &f->month) || !c.literal(" "))
        return false;
    if (!c.digits(2, &f->day) && !(c.literal(" ") && c.digits(1, &f->day))) return false;
    if (!c.literal(" ") || !c.time(&f->hour, &f->minute, &f->second) || !c.literal(" ") ||
        !c.digits(4, &year) || !c.done())
        return false;
    f->year = year;
    ++f->month;
    return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// value's last count decimal digits at out.
void putDigits(char* out, int count, int64_t value) {
    for (int i = count - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

}  // namespace

void formatHttpDate(int64_t seconds, char* out) {
    const int64_t first = daysFromCivil(1, 1, 1) * DAY;
    const int64_t last = daysFromCivil(9999, 12, 31) * DAY + DAY - 1;
    if (seconds < first) seconds = first;
    if (seconds > last) seconds = last;
    // Whole days down, also before 1970.
    int64_t days = seconds >= 0 ? seconds / DAY : -((-seconds + DAY - 1) / DAY);
    int64_t ofDay = seconds - days * DAY;
    int64_t year;
    int month, day;
    civilFromDays(days, &year, &month, &day);
    // 1970-01-01 was a Thursday.
    int weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);
    // "Www, DD Mmm YYYY hh:mm:ss GMT", every field of fixed width.
    std::memcpy(out, "Www, DD Mmm YYYY hh:mm:ss GMT", HTTP_DATE_SIZE);
    std::memcpy(out, DAY_NAMES[weekday], 3);
    putDigits(out + 5, 2, day);
    std::memcpy(out + 8, MONTH_NAMES[month - 1], 3);
    putDigits(out + 12, 4, year);
    putDigits(out + 17, 2, ofDay / 3600);
    putDigits(out + 20, 2, ofDay / 60 % 60);
    putDigits(out + 23, 2, ofDay % 60);
}

bool parseHttpDate(const char* text, int len, int64_t now, int64_t* seconds) {
    if (!text || len <= 0) return false;
    const char* start = text;
    const char* end = text + len;
    while (start < end && isSpace(*start)) ++start;
    while (end > start && isSpace(end[-1])) --end;
    const Cursor c{start, end};
    Fields f{};
    if (!readFixdate(c, &f) && !readRfc850(c, now, &f) && !readAsctime(c, &f)) return false;
    if (f.day < 1 || f.day > daysInMonth(f.year, f.month)) return false;
    *seconds = daysFromCivil(f.year, f.month, f.day) * DAY + f.hour * 3600 + f.minute * 60 +
               f.second;
    return true;
}

}  // namespace quodra
