// The caller's own header lines (httpSetOptionText with
// QUODRA_OPTION_HEADERS): which values are taken and how they are kept, the
// questions the request composition asks of a set, each thread's own set,
// and memory that runs out.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "quodra.h"
#include "request/caller_lines.h"
#include "request_fixture.h"

namespace {

std::string orNone(const char* text) { return text ? text : "(none)"; }

class CallerLinesTest : public RequestModelTest {
protected:
    void TearDown() override {
        setCallerLines(nullptr);
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1);
        RequestModelTest::TearDown();
    }
};

}  // namespace

TEST_F(CallerLinesTest, TakesWellFormedLinesAndRefusesTheRestWhole) {
    const struct {
        const char* value;
        const char* kept;  // the set afterwards as CR LF lines; null: refused
    } cases[] = {
        {"X-Token: abc", "X-Token: abc\r\n"},
        {"A: 1\nB: 2", "A: 1\r\nB: 2\r\n"},
        {"A: 1\r\nB: 2\r\n", "A: 1\r\nB: 2\r\n"},
        {"A: 1\r\n\r\n\nB: 2\n", "A: 1\r\nB: 2\r\n"},
        {"If-None-Match: \"x\"\nOverwrite: F", "If-None-Match: \"x\"\r\nOverwrite: F\r\n"},
        // The value as given: no space, a tab, trailing blanks, empty,
        // bytes from 0x80 up.
        {"A:1", "A:1\r\n"},
        {"A:\tx\t", "A:\tx\t\r\n"},
        {"A:", "A:\r\n"},
        {"A: caf\xc3\xa9", "A: caf\xc3\xa9\r\n"},
        {"!#$%&'*+-.^_`|~09az: v", "!#$%&'*+-.^_`|~09az: v\r\n"},
        {"A: x: y", "A: x: y\r\n"},
        // The library's own lines, and lookalikes that are not.
        {"Host: h", nullptr},
        {"A: 1\nhost: h", nullptr},
        {"CONTENT-LENGTH: 5", nullptr},
        {"Connection: keep-alive", nullptr},
        {"Transfer-Encoding: chunked", nullptr},
        {"Hosts: h", "Hosts: h\r\n"},
        {"Content-Type: text/plain", "Content-Type: text/plain\r\n"},
        // Names that are no token.
        {": v", nullptr},
        {"A B: v", nullptr},
        {"A : v", nullptr},
        {" A: v", nullptr},
        {"A: 1\n\tfolded", nullptr},
        {"A\"B: v", nullptr},
        {"A(B): v", nullptr},
        {"caf\xc3\xa9: v", nullptr},
        // Lines without a colon.
        {"A", nullptr},
        {"A: 1\nB", nullptr},
        // Control bytes in a value, a CR that ends no line among them.
        {"A: 1\rB: 2", nullptr},
        {"A: 1\r", nullptr},
        {"A: \x01", nullptr},
        {"A: \x7f", nullptr},
        {"A: \x1b[0m", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(setCallerLines("Before: 1"), LinesVerdict::Taken);
        int got = httpSetOptionText(QUODRA_OPTION_HEADERS, c.value);
        EXPECT_EQ(got, c.kept ? 0 : -1);
        EXPECT_EQ(orNone(callerLines()), c.kept ? c.kept : "Before: 1\r\n");
    }
    // Null, "" and blank lines alone clear the set.
    for (const char* clear : {static_cast<const char*>(nullptr), "", "\n", "\r\n\r\n"}) {
        ASSERT_EQ(setCallerLines("Before: 1"), LinesVerdict::Taken);
        EXPECT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, clear), 0);
        EXPECT_EQ(callerLines(), nullptr);
    }
    EXPECT_TRUE(boxTexts().empty());
}

TEST_F(CallerLinesTest, AnUnknownOptionChangesNothing) {
    ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, "A: 1"), 0);
    for (int option : {0, 1, 10, 14, 99, -1, QUODRA_OPTION_MESSAGE_BOXES}) {
        SCOPED_TRACE(option);
        EXPECT_EQ(httpSetOptionText(option, "B: 2"), -1);
        EXPECT_EQ(httpSetOptionText(option, nullptr), -1);
    }
    EXPECT_EQ(orNone(callerLines()), "A: 1\r\n");
}

TEST_F(CallerLinesTest, AnswersWhatTheCompositionAsks) {
    const char* set = "Authorization: Bearer t\r\nX-A: 1\r\nCookie: c=1\r\nx-a: 2\r\nUser-Agent: me\r\n";
    const struct {
        const char* name;
        bool held;
    } holds[] = {{"Authorization", true}, {"authorization", true}, {"USER-AGENT", true},
                 {"X-A", true},           {"Cookie", true},        {"X", false},
                 {"Authorizatio", false}, {"Bearer t", false},     {"", false}};
    for (const auto& h : holds) {
        SCOPED_TRACE(h.name);
        EXPECT_EQ(linesHold(set, h.name), h.held);
    }
    EXPECT_FALSE(linesHold(nullptr, "X-A"));

    const struct {
        std::vector<const char*> names;
        const char* left;
    } withouts[] = {
        {{"Authorization", "Cookie"}, "X-A: 1\r\nx-a: 2\r\nUser-Agent: me\r\n"},
        {{"x-A"}, "Authorization: Bearer t\r\nCookie: c=1\r\nUser-Agent: me\r\n"},
        {{}, set},
        {{"Nothing"}, set},
        {{"Authorization", "X-A", "Cookie", "User-Agent"}, nullptr},
    };
    for (const auto& w : withouts) {
        SCOPED_TRACE(w.names.size());
        char* left = reinterpret_cast<char*>(1);
        ASSERT_TRUE(linesWithout(set, w.names.data(), static_cast<int>(w.names.size()), &left));
        EXPECT_EQ(orNone(left), orNone(w.left));
        qfree(left);
    }
    char* left = reinterpret_cast<char*>(1);
    ASSERT_TRUE(linesWithout(nullptr, nullptr, 0, &left));
    EXPECT_EQ(left, nullptr);
}

TEST_F(CallerLinesTest, EachThreadKeepsItsOwnSet) {
    ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, "Main: 1"), 0);
    constexpr int THREADS = 4;
    std::vector<std::string> seenAtStart(THREADS), seenAtEnd(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            seenAtStart[t] = orNone(callerLines());
            for (int i = 0; i < 200; ++i) {
                std::string mine = "T" + std::to_string(t) + ": " + std::to_string(i);
                if (httpSetOptionText(QUODRA_OPTION_HEADERS, mine.c_str()) != 0 ||
                    orNone(callerLines()) != mine + "\r\n")
                    return;
            }
            seenAtEnd[t] = orNone(callerLines());
            // A thread that ends with a set releases it (the sanitizer
            // build's leak check would say otherwise).
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < THREADS; ++t) {
        EXPECT_EQ(seenAtStart[t], "(none)");
        EXPECT_EQ(seenAtEnd[t], "T" + std::to_string(t) + ": 199\r\n");
    }
    EXPECT_EQ(orNone(callerLines()), "Main: 1\r\n");
}

TEST_F(CallerLinesTest, ACallTakesACopy) {
    ASSERT_EQ(setCallerLines("A: 1"), LinesVerdict::Taken);
    char* copy = nullptr;
    ASSERT_TRUE(copyCallerLines(&copy));
    ASSERT_EQ(setCallerLines("B: 2"), LinesVerdict::Taken);
    EXPECT_EQ(orNone(copy), "A: 1\r\n");
    qfree(copy);
    ASSERT_EQ(setCallerLines(nullptr), LinesVerdict::Taken);
    copy = reinterpret_cast<char*>(1);
    ASSERT_TRUE(copyCallerLines(&copy));
    EXPECT_EQ(copy, nullptr);
}

TEST_F(CallerLinesTest, MemoryThatRunsOutChangesNothingAndIsReported) {
    ASSERT_EQ(setCallerLines("A: 1"), LinesVerdict::Taken);
    const char* const box = "new failed: headerlines";
    const struct {
        const char* name;
        std::function<bool()> run;  // true when it reported no memory
    } steps[] = {
        {"httpSetOptionText", [] { return httpSetOptionText(QUODRA_OPTION_HEADERS, "B: 2") == -1; }},
        {"copyCallerLines",
         [] {
             char* copy = reinterpret_cast<char*>(1);
             bool failed = !copyCallerLines(&copy);
             EXPECT_EQ(copy, nullptr);
             return failed;
         }},
        {"linesWithout",
         [] {
             const char* name = "X";
             char* left = reinterpret_cast<char*>(1);
             bool failed = !linesWithout(callerLines(), &name, 1, &left);
             EXPECT_EQ(left, nullptr);
             return failed;
         }},
    };
    for (int boxes : {1, 0}) {
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, boxes);
        for (const auto& s : steps) {
            SCOPED_TRACE(std::string(s.name) + (boxes ? " with boxes" : " without boxes"));
            fake::state().boxes.clear();
            long live = qallocLive();
            qallocFailAt(1);
            EXPECT_TRUE(s.run());
            qallocFailAt(0);
            EXPECT_EQ(qallocLive(), live);
            EXPECT_EQ(orNone(callerLines()), "A: 1\r\n");
            // Outside a call the process-wide option rules the box too; the
            // core's own functions run inside a call, which has set it.
            if (boxes || std::string(s.name) != "httpSetOptionText") {
                EXPECT_EQ(boxTexts(), std::vector<std::string>{box});
            } else {
                EXPECT_TRUE(boxTexts().empty());
            }
        }
    }
}
