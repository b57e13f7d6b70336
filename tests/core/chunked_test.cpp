// The chunked body decoder on its own: the body's bytes, the verdict and the
// bytes left after the body (or from the byte that breaks it), the same
// however the input is cut into pieces; the bounds on what it drops.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/chunked.h"
#include "common/reply_head.h"

using namespace quodra;
using namespace std::string_literals;

namespace quodra {
// A verdict in a failure's message by its name.
void PrintTo(ChunkedFeed v, std::ostream* os) {
    *os << (v == ChunkedFeed::More ? "More" : v == ChunkedFeed::Done ? "Done" : "Broken");
}
}  // namespace quodra

namespace {

struct Fed {
    ChunkedFeed verdict = ChunkedFeed::More;
    std::string body;  // the spans, joined
    std::string rest;  // the bytes not taken
};

// Feeds the pieces as a caller would: each piece until it is all taken or
// the body has ended or broken, writing out every span; the bytes not taken
// then, and every later piece, are the rest.
Fed feed(const std::vector<std::string>& pieces) {
    ChunkedBody b;
    initChunked(&b);
    Fed out;
    size_t p = 0;
    for (; p < pieces.size() && out.verdict == ChunkedFeed::More; ++p) {
        const std::string& piece = pieces[p];
        int at = 0;
        const int len = static_cast<int>(piece.size());
        // A call takes a byte at least, so no piece needs more calls than bytes.
        for (int calls = 0; calls <= len; ++calls) {
            int used = -1;
            BodySpan span{piece.data(), -1};
            out.verdict = feedChunked(&b, piece.data() + at, len - at, &used, &span);
            EXPECT_GE(used, 0);
            EXPECT_LE(used, len - at);
            // The span lies within the bytes taken by this call.
            EXPECT_GE(span.len, 0);
            if (span.len > 0) {
                EXPECT_GE(span.data, piece.data() + at);
                EXPECT_LE(span.data + span.len, piece.data() + at + used);
                out.body.append(span.data, static_cast<size_t>(span.len));
            } else {
                EXPECT_EQ(span.data, nullptr);
            }
            at += used;
            if (out.verdict != ChunkedFeed::More || at == len) break;
            EXPECT_GT(used, 0) << "More with bytes left, and none taken";
        }
        if (out.verdict != ChunkedFeed::More) out.rest = piece.substr(static_cast<size_t>(at));
    }
    for (; p < pieces.size(); ++p) out.rest += pieces[p];
    return out;
}

std::string many(int n, const std::string& chunk) {
    std::string s;
    for (int i = 0; i < n; ++i) s += chunk;
    return s;
}

struct Case {
    const char* name;
    std::string input;
    ChunkedFeed verdict;
    std::string body;
    std::string rest;  // bytes not taken: after the body's end, or from the fault on
};

constexpr ChunkedFeed kMore = ChunkedFeed::More;
constexpr ChunkedFeed kDone = ChunkedFeed::Done;
constexpr ChunkedFeed kBroken = ChunkedFeed::Broken;

const std::string kEnd = "0\r\n\r\n";

const Case kCases[] = {
    // Bodies that end.
    {"one chunk", "5\r\nhello\r\n" + kEnd, kDone, "hello", ""},
    {"hex of both cases", "A\r\n0123456789\r\nb\r\nabcdefghijk\r\n" + kEnd, kDone,
     "0123456789abcdefghijk", ""},
    {"leading zeros, and a last chunk of several", "0005\r\nhello\r\n000\r\n\r\n", kDone, "hello",
     ""},
    {"no chunk at all", kEnd, kDone, "", ""},
    {"data holding line ends, NULs and high bytes",
     "8\r\n\r\n0\r\n\0\n\xff\r\n"s + kEnd, kDone, "\r\n0\r\n\0\n\xff"s, ""},
    {"many small chunks", many(300, "1\r\nx\r\n") + kEnd, kDone, std::string(300, 'x'), ""},
    {"blanks after the size", "5 \t\r\nhello\r\n" + kEnd, kDone, "hello", ""},
    {"extensions: tokens, quoted strings, blanks around ; and =",
     "5;name=value\r\nhello\r\n"
     "3 ; a ; b = \"q;\\\"x\\\\\" ;c=\"\"\t\r\nabc\r\n"
     "2;e=\"tab\there \xe9\";f\r\nde\r\n"
     "0;last=\"\\\t\"\r\n\r\n",
     kDone, "helloabcde", ""},
    {"trailer fields, a folded one, high bytes",
     "3\r\nabc\r\n0\r\nExpires: never\r\nX-Sum: 1 2\r\n\tfolded\r\nX-E:\r\nX-H: \xe9\r\n\r\n",
     kDone, "abc", ""},
    {"bare LF line ends", "3\nabc\n0;x=y\nX: 1\n \n\n", kDone, "abc", ""},
    {"bare LF after CR LF lines", "3\r\nabc\n0\r\nX: 1\n\r\n", kDone, "abc", ""},
    {"what follows the end is not taken", "2\r\nhi\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", kDone,
     "hi", "HTTP/1.1 200 OK\r\n\r\n"},
    {"a line end after the end is not the body's", "0\r\n\r\n\r\n", kDone, "", "\r\n"},
    {"the largest size", "7fffffffffffffff\r\nabc", kMore, "abc", ""},

    // Bodies cut short: never done.
    {"nothing yet", "", kMore, "", ""},
    {"cut in a size", "1", kMore, "", ""},
    {"cut in an extension", "5;a=\"x", kMore, "", ""},
    {"cut between CR and LF", "5\r", kMore, "", ""},
    {"cut in the data", "5\r\nhel", kMore, "hel", ""},
    {"cut after the data", "5\r\nhello", kMore, "hello", ""},
    {"cut after the data's CR", "5\r\nhello\r", kMore, "hello", ""},
    {"cut after the last chunk", "5\r\nhello\r\n0\r\n", kMore, "hello", ""},
    {"cut in a trailer", "0\r\nX: 1\r\n", kMore, "", ""},
    {"cut before the last LF", "0\r\n\r", kMore, "", ""},
    {"a huge size, cut short", "10000000000\r\n" + std::string(100, 'z'), kMore,
     std::string(100, 'z'), ""},

    // Sizes that are not hex, or too large.
    {"a size that is not hex", "g\r\nabc", kBroken, "", "g\r\nabc"},
    {"hex after a prefix", "0x5\r\nhello", kBroken, "", "x5\r\nhello"},
    {"no size", "\r\nabc\r\n", kBroken, "", "\r\nabc\r\n"},
    {"a sign", "+5\r\nhello", kBroken, "", "+5\r\nhello"},
    {"a blank before the size", " 5\r\nhello", kBroken, "", " 5\r\nhello"},
    {"a blank inside the size", "1 0\r\n", kBroken, "", "0\r\n"},
    {"a size past 63 bits", "8000000000000000\r\n", kBroken, "", "0\r\n"},
    {"a size past 63 bits, zeros first", "007fffffffffffffff0\r\n", kBroken, "", "0\r\n"},
    {"a broken size after good chunks", "2\r\nab\r\nz\r\n", kBroken, "ab", "z\r\n"},

    // The data's line end.
    {"data longer than its size", "3\r\nabcd\r\n" + kEnd, kBroken, "abc", "d\r\n" + kEnd},
    {"data shorter than its size", "4\r\nab\r\n" + kEnd, kBroken, "ab\r\n", kEnd},
    {"a CR after data without its LF", "3\r\nabc\rX", kBroken, "abc", "X"},
    {"two line ends after data", "3\r\nabc\r\n\r\n0\r\n\r\n", kBroken, "abc", "\r\n0\r\n\r\n"},

    // Size lines.
    {"a bare CR ends no size line", "5\rhello", kBroken, "", "hello"},
    {"a control byte after the size", "5\x01\r\nhello", kBroken, "", "\x01\r\nhello"},
    {"a NUL in an extension's name", "5;a\0b\r\n"s, kBroken, "", "\0b\r\n"s},
    {"DEL in a token value", "5;a=b\x7f\r\n", kBroken, "", "\x7f\r\n"},
    {"a name missing after ;", "5;\r\nhello", kBroken, "", "\r\nhello"},
    {"a value without its name", "5;=x\r\n", kBroken, "", "=x\r\n"},
    {"a value missing after =", "5;a=\r\n", kBroken, "", "\r\n"},
    {"; missing between extensions", "5;a=b c=d\r\n", kBroken, "", "c=d\r\n"},
    {"a byte after a quoted string", "5;a=\"x\"y\r\n", kBroken, "", "y\r\n"},
    {"a quoted string that runs to the line end", "5;a=\"x\r\nhello\"\r\n", kBroken, "",
     "\r\nhello\"\r\n"},
    {"a control byte in a quoted string", "5;a=\"\x1b\"\r\n", kBroken, "", "\x1b\"\r\n"},
    {"a control byte escaped", "5;a=\"\\\x01\"\r\n", kBroken, "", "\x01\"\r\n"},
    {"a separator in a token value", "5;a=b/c\r\n", kBroken, "", "/c\r\n"},

    // Trailers.
    {"a trailer line without a colon", "0\r\nJunk\r\n\r\n", kBroken, "", "\r\n\r\n"},
    {"a trailer line without a name", "0\r\n: x\r\n\r\n", kBroken, "", ": x\r\n\r\n"},
    {"a control byte in a trailer", "0\r\nX: a\x01\r\n\r\n", kBroken, "", "\x01\r\n\r\n"},
    {"a NUL in a trailer", "0\r\nX: a\0\r\n\r\n"s, kBroken, "", "\0\r\n\r\n"s},
    {"a fold with no field before it", "0\r\n folded\r\n\r\n", kBroken, "",
     " folded\r\n\r\n"},
    {"a bare CR in a trailer", "0\r\nX: a\rb\r\n\r\n", kBroken, "", "b\r\n\r\n"},
    {"a bare CR on the last line", "0\r\n\rX", kBroken, "", "X"},
};

TEST(Chunked, TheSameHoweverTheBytesAreCut) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string& input = c.input;
        std::vector<std::vector<std::string>> ways = {{input}};
        for (size_t k = 1; k < input.size(); ++k)
            ways.push_back({input.substr(0, k), input.substr(k)});
        std::vector<std::string> bytes;
        for (char ch : input) bytes.push_back(std::string(1, ch));
        ways.push_back(bytes);
        for (const auto& pieces : ways) {
            SCOPED_TRACE(testing::Message() << pieces.size() << " pieces, first "
                                            << (pieces.empty() ? 0 : pieces[0].size()));
            long live = qallocLive();
            qallocResetCount();
            Fed got = feed(pieces);
            ASSERT_EQ(qallocCount(), 0);
            ASSERT_EQ(qallocLive(), live);
            ASSERT_EQ(got.verdict, c.verdict);
            ASSERT_EQ(got.body, c.body);
            ASSERT_EQ(got.rest, c.rest);
        }
    }
}

TEST(Chunked, OneSpanACallAndNothingAfterTheEnd) {
    const std::string in = "3\r\nabc\r\n2;x\r\nde\r\n0\r\nT: 1\r\n\r\nnext";
    const int len = static_cast<int>(in.size());
    ChunkedBody b;
    initChunked(&b);
    int first = 0, second = 0;
    BodySpan span;
    // The first call stops where the second chunk's data begins.
    ASSERT_EQ(feedChunked(&b, in.data(), len, &first, &span), ChunkedFeed::More);
    EXPECT_EQ(in.substr(0, static_cast<size_t>(first)), "3\r\nabc\r\n2;x\r\n");
    EXPECT_EQ(std::string(span.data, static_cast<size_t>(span.len)), "abc");
    // The second takes the rest of the body, with the last span.
    ASSERT_EQ(feedChunked(&b, in.data() + first, len - first, &second, &span), ChunkedFeed::Done);
    EXPECT_EQ(in.substr(static_cast<size_t>(first + second)), "next");
    EXPECT_EQ(std::string(span.data, static_cast<size_t>(span.len)), "de");
    // Once done, nothing more is taken.
    int used = -1;
    EXPECT_EQ(feedChunked(&b, "5\r\nhello", 8, &used, &span), ChunkedFeed::Done);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(span.len, 0);
    // Nor once broken.
    initChunked(&b);
    ASSERT_EQ(feedChunked(&b, "x", 1, &used, &span), ChunkedFeed::Broken);
    EXPECT_EQ(feedChunked(&b, "5\r\nhello", 8, &used, &span), ChunkedFeed::Broken);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(span.len, 0);
}

TEST(Chunked, WhatItDropsIsBounded) {
    const int limit = REPLY_HEAD_LIMIT;
    // A size line of the bound exactly (line end included), and one a byte over.
    const std::string zeros = std::string(static_cast<size_t>(limit - 3), '0') + "5\r\n";
    const std::string ext = "5;" + std::string(static_cast<size_t>(limit - 4), 'e') + "\r\n";
    // A trailer section of the bound exactly (the last line end included).
    const std::string field = "X: " + std::string(static_cast<size_t>(limit - 7), 'v') + "\r\n";
    struct Bound {
        const char* name;
        std::string input;
        ChunkedFeed verdict;
        std::string body;
        size_t restAt;  // where the bytes not taken start
    } bounds[] = {
        {"a size line of the bound", zeros + "hello\r\n" + kEnd, kDone, "hello",
         zeros.size() + 7 + kEnd.size()},
        {"a size line over it", "0" + zeros + "hello\r\n", kBroken, "", size_t(limit)},
        {"extensions to the bound", ext + "hello\r\n" + kEnd + "x", kDone, "hello",
         ext.size() + 7 + kEnd.size()},
        {"extensions over it", "5;e" + ext.substr(2), kBroken, "", size_t(limit)},
        {"a size line that never ends", "5;" + std::string(size_t(limit), 'e'), kBroken, "",
         size_t(limit)},
        {"a trailer section of the bound", "1\r\nh\r\n0\r\n" + field + "\r\n", kDone, "h",
         6 + 3 + field.size() + 2},
        {"a trailer section over it", "0\r\nY: 1\r\n" + field + "\r\n", kBroken, "",
         3 + size_t(limit)},
        {"trailer lines that never end", "0\r\n" + many(limit / 6 + 1, "Y: 1\r\n"), kBroken, "",
         3 + size_t(limit)},
    };
    for (const Bound& c : bounds) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> bytes;
        for (char ch : c.input) bytes.push_back(std::string(1, ch));
        for (const auto& pieces : {std::vector<std::string>{c.input}, bytes}) {
            Fed got = feed(pieces);
            ASSERT_EQ(got.verdict, c.verdict);
            EXPECT_EQ(got.body, c.body);
            EXPECT_EQ(got.rest, c.input.substr(c.restAt));
        }
    }
}

}  // namespace
