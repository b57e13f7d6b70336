// The reply head on its own: where a head ends, which head is kept, what
// its status and Content-Length are, and the value of a header line by
// name, the same however the bytes are cut into pieces; the bound; and the
// lookup of one line's value with its folds, white space and case.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/alloc.h"
#include "common/reply_head.h"

using namespace quodra;
using namespace std::string_literals;

namespace {

struct Fed {
    HeadFeed verdict = HeadFeed::More;
    int used = 0;  // bytes taken as head, interim heads included
    std::string kept;
    int status = 0;
    int64_t length = -1;
};

// Feeds the pieces in turn until the head has ended (or failed).
Fed feed(const std::vector<std::string>& pieces) {
    ReplyHead h;
    initHead(&h);
    Fed out;
    for (const std::string& p : pieces) {
        int used = 0;
        out.verdict = feedHead(&h, p.data(), static_cast<int>(p.size()), &used);
        out.used += used;
        if (out.verdict != HeadFeed::More) break;
    }
    if (h.bytes) out.kept.assign(h.bytes, static_cast<size_t>(h.len));
    out.status = h.status;
    out.length = h.length;
    freeHead(&h);
    return out;
}

// What a header line of the kept head is looked up as.
struct Lookup {
    const char* name;
    std::string value;
    bool present = true;
};
Lookup none(const char* name) { return Lookup{name, "", false}; }

struct HeadCase {
    const char* name;
    std::string interim;  // interim heads before the head, passed over
    std::string head;     // the head that is kept
    std::string rest;     // what follows it: body bytes
    HeadFeed verdict;
    int status;
    int64_t length;
    std::vector<Lookup> lookups;
};

const std::string kOk = "HTTP/1.0 200 OK\r\n";

const HeadCase kHeads[] = {
    {"CRLF head and its body", "", kOk + "Content-Length: 5\r\nServer: t\r\n\r\n", "hello",
     HeadFeed::Done, 200, 5, {{"server", "t"}, {"SERVER", "t"}, {"content-length", "5"}}},
    {"bare LF lines", "", "HTTP/1.1 404 Not Found\nX-A: 1\n\n", "body", HeadFeed::Done, 404, -1,
     {{"x-a", "1"}}},
    {"LF CR LF ends", "", "HTTP/1.0 200 OK\nX: t\n\r\n", "b", HeadFeed::Done, 200, -1,
     {{"x", "t"}}},
    {"CR LF LF ends", "", kOk + "X: t\r\n\n", "\nb", HeadFeed::Done, 200, -1, {{"x", "t"}}},
    {"four CRs end", "", "HTTP/1.0 204 No\r\r\r\r", "b", HeadFeed::Done, 204, -1, {none("no")}},
    {"six line ends: two are body", "", kOk + "\r\n", "\r\nab", HeadFeed::Done, 200, -1, {}},
    {"head without body", "", "HTTP/1.0 304 Not Modified\r\n\r\n", "", HeadFeed::Done, 304, -1,
     {}},
    {"folded line read as one space", "",
     kOk + "X-Long: first\r\n   second\r\n\tthird\r\nX-Next: n\r\n\r\n", "", HeadFeed::Done, 200,
     -1, {{"x-long", "first second third"}, {"x-next", "n"}}},
    {"first of two lines of a name", "", kOk + "Set: a\r\nset: b\r\n\r\n", "", HeadFeed::Done, 200,
     -1, {{"set", "a"}}},
    {"white space around the value", "", kOk + "X:  \t v a l \t \r\n\r\n", "", HeadFeed::Done,
     200, -1, {{"x", "v a l"}}},
    {"empty value", "", kOk + "X-Empty:\r\nY: 1\r\n\r\n", "", HeadFeed::Done, 200, -1,
     {{"x-empty", ""}, {"y", "1"}}},
    {"space before the colon names nothing", "", kOk + "Location : /a\r\n\r\n", "",
     HeadFeed::Done, 200, -1, {none("location"), none("location ")}},
    {"a longer or shorter name is not the name", "", kOk + "X-Location: /a\r\n\r\n", "",
     HeadFeed::Done, 200, -1, {none("location"), none("x-locatio")}},
    {"the status line is no header line", "", "HTTP/1.0 200 location: /a\r\n\r\n", "",
     HeadFeed::Done, 200, -1, {none("http/1.0 200 location")}},
    {"a line without a colon is skipped", "", kOk + "junk\r\nA: 1\r\n\r\n", "", HeadFeed::Done,
     200, -1, {none("junk"), {"a", "1"}}},
    {"white space before the first line continues nothing", "",
     kOk + " Ghost: 1\r\nA: 2\r\n\r\n", "", HeadFeed::Done, 200, -1,
     {none("ghost"), none(" ghost"), {"a", "2"}}},
    {"NUL bytes kept", "", kOk + "X: a\0b\r\n\r\n"s, "z", HeadFeed::Done, 200, -1,
     {{"x", "a\0b"s}}},
    {"interim heads passed over", "HTTP/1.1 100 Continue\r\nX: i\r\n\r\nHTTP/1.1 102 P\r\n\r\n",
     kOk + "X: f\r\n\r\n", "b", HeadFeed::Done, 200, -1, {{"x", "f"}}},
    {"an interim head's length is not the reply's",
     "HTTP/1.1 100 Continue\r\nContent-Length: 1\r\n\r\n", kOk + "Content-Length: 3\r\n\r\n",
     "abc", HeadFeed::Done, 200, 3, {}},
    {"two lengths that agree", "", kOk + "Content-Length: 6\r\ncontent-length:6\r\n\r\n", "",
     HeadFeed::Done, 200, 6, {}},
    {"capitals and white space in a length", "", kOk + "CONTENT-LENGTH: \t 4 \t\r\n\r\n", "",
     HeadFeed::Done, 200, 4, {}},
    {"a length past 63 bits stops at the limit", "",
     kOk + "Content-Length: 99999999999999999999\r\n\r\n", "", HeadFeed::Done, 200, INT64_MAX,
     {}},
    {"a folded length is one value", "", kOk + "Content-Length: 5\r\n 5\r\n\r\n", "",
     HeadFeed::Malformed, 200, -1, {{"content-length", "5 5"}}},
    {"two lengths that differ", "", kOk + "Content-Length: 6\r\nContent-Length: 2\r\n\r\n", "",
     HeadFeed::Malformed, 200, -1, {}},
    {"a negative length", "", kOk + "Content-Length: -5\r\n\r\n", "", HeadFeed::Malformed, 200,
     -1, {}},
    {"a list of lengths", "", kOk + "Content-Length: 3, 3\r\n\r\n", "", HeadFeed::Malformed, 200,
     -1, {}},
    {"head not ended", "", kOk + "X: 1\r\n", "", HeadFeed::More, 0, -1, {}},
    {"interim head and no more", "HTTP/1.1 100 Continue\r\n\r\n", "", "", HeadFeed::More, 0, -1,
     {}},
};

TEST(ReplyHead, TheSameHoweverTheBytesAreCut) {
    for (const HeadCase& c : kHeads) {
        SCOPED_TRACE(c.name);
        const std::string input = c.interim + c.head + c.rest;
        std::vector<std::vector<std::string>> ways = {{input}};
        for (size_t k = 1; k < input.size(); ++k)
            ways.push_back({input.substr(0, k), input.substr(k)});
        std::vector<std::string> bytes;
        for (char ch : input) bytes.push_back(std::string(1, ch));
        ways.push_back(bytes);
        for (const auto& pieces : ways) {
            SCOPED_TRACE(testing::Message() << pieces.size() << " pieces, first "
                                            << pieces[0].size());
            long live = qallocLive();
            Fed got = feed(pieces);
            ASSERT_EQ(qallocLive(), live);
            ASSERT_EQ(got.verdict, c.verdict);
            ASSERT_EQ(got.used, static_cast<int>(c.interim.size() + c.head.size()));
            ASSERT_EQ(got.kept, c.head);
            ASSERT_EQ(got.status, c.status);
            ASSERT_EQ(got.length, c.length);
            for (const Lookup& l : c.lookups) {
                SCOPED_TRACE(l.name);
                char buf[64];
                int n = headerValue(got.kept.data(), static_cast<int>(got.kept.size()), l.name,
                                    buf, sizeof buf);
                if (!l.present) {
                    ASSERT_EQ(n, -1);
                } else {
                    ASSERT_EQ(n, static_cast<int>(l.value.size()));
                    ASSERT_EQ(std::string(buf, static_cast<size_t>(n)), l.value);
                }
            }
        }
    }
}

TEST(ReplyHead, BoundCountsInterimHeadsAndEndsAtTheLimit) {
    std::string head = kOk + "X: ";
    head += std::string(REPLY_HEAD_LIMIT - head.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), static_cast<size_t>(REPLY_HEAD_LIMIT));
    EXPECT_EQ(feed({head + "body"}).verdict, HeadFeed::Done);
    EXPECT_EQ(feed({"X" + head}).verdict, HeadFeed::TooLong);
    // Interim heads count against the same bound.
    std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    EXPECT_EQ(feed({interim + head}).verdict, HeadFeed::TooLong);
    std::string endless = kOk + std::string(REPLY_HEAD_LIMIT, 'a');
    Fed cut = feed({endless});
    EXPECT_EQ(cut.verdict, HeadFeed::TooLong);
    EXPECT_EQ(cut.kept, "");
}

TEST(ReplyHead, GrowsByDoublingAndFailsWhole) {
    std::string head = kOk + "X-Fill: " + std::string(100000, 'a') + "\r\n\r\n";
    ReplyHead h;
    initHead(&h);
    qallocResetCount();
    int used = 0;
    HeadFeed v = HeadFeed::More;
    for (size_t i = 0; i < head.size() && v == HeadFeed::More; ++i)
        v = feedHead(&h, head.data() + i, 1, &used);
    EXPECT_EQ(v, HeadFeed::Done);
    EXPECT_LE(qallocCount(), 10);
    freeHead(&h);
    // A head that cannot grow says so, and keeps what it had.
    initHead(&h);
    ASSERT_EQ(feedHead(&h, kOk.data(), static_cast<int>(kOk.size()), &used), HeadFeed::More);
    qallocFailAt(1);
    std::string more = "X: " + std::string(600, 'b');
    EXPECT_EQ(feedHead(&h, more.data(), static_cast<int>(more.size()), &used),
              HeadFeed::NoMemory);
    qallocFailAt(0);
    EXPECT_EQ(std::string(h.bytes, static_cast<size_t>(h.len)), kOk);
    freeHead(&h);
    EXPECT_EQ(h.bytes, nullptr);
}

TEST(ReplyHead, LookupCopiesLikeTheCallsAndWalksEveryLineOfAName) {
    const std::string head = kOk + "Www-Authenticate: Basic realm=\"a\"\r\n"
                             "WWW-Authenticate: Digest\r\n  realm=\"b\", nonce=\"n\"\r\n\r\n";
    const int len = static_cast<int>(head.size());
    // Cut to the buffer, NUL-terminated, the whole length returned.
    char small[6] = "zzzzz";
    EXPECT_EQ(headerValue(head.data(), len, "www-authenticate", small, sizeof small), 15);
    EXPECT_STREQ(small, "Basic");
    EXPECT_EQ(headerValue(head.data(), len, "www-authenticate", nullptr, 0), 15);
    char one[1] = {'z'};
    EXPECT_EQ(headerValue(head.data(), len, "www-authenticate", one, 1), 15);
    EXPECT_EQ(one[0], '\0');
    // Every line of the name, in order.
    std::vector<std::string> values;
    int at = 0;
    HeadValue v;
    while (nextHeader(head.data(), len, "WWW-Authenticate", &at, &v)) {
        char buf[80];
        int n = headerText(v, buf, sizeof buf);
        values.emplace_back(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(values, (std::vector<std::string>{"Basic realm=\"a\"",
                                                "Digest realm=\"b\", nonce=\"n\""}));
    EXPECT_EQ(headerValue(nullptr, 0, "x", small, sizeof small), -1);
}

TEST(ReplyHead, StatusCodeFromTheStatusLine) {
    struct Case {
        std::string line;
        int status;
    } cases[] = {
        {"HTTP/1.0 204 No Content\r\n", 204}, {"HTTP/1.1 404 Not Found\n", 404},
        {"http/1.0 200\r\n", 200},            {"HTTP/1.0   301\tMoved", 301},
        {"HTTP/1.0 2000 Odd\r\n", 0},         {"HTTP/1.0 20 Odd\r\n", 0},
        {"HTTP/1.0 20x Odd\r\n", 0},          {"HTTP/1.0\r\n200 OK\r\n", 0},
        {"HTTX/1.0 200 OK\r\n", 0},           {"", 0},
        {"HTTP/1.0 99999999999999999999", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(readReplyStatus(c.line.data(), static_cast<int>(c.line.size())), c.status);
    }
    EXPECT_EQ(readReplyStatus(nullptr, 5), 0);
}

}  // namespace
