// Where a redirect leads: reference resolution against the whole table of
// RFC 3986 section 5.4 (normal and abnormal examples, fed as written there),
// then the Location values a call follows and those it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request/reference.h"
#include "request_fixture.h"

namespace {

struct Example {
    const char* ref;
    const char* target;  // as the RFC writes it, fragment and all
};

// RFC 3986 section 5.4.1 and 5.4.2, base "http://a/b/c/d;p?q".
const Example rfcExamples[] = {
    // 5.4.1 Normal Examples
    {"g:h", "g:h"},
    {"g", "http://a/b/c/g"},
    {"./g", "http://a/b/c/g"},
    {"g/", "http://a/b/c/g/"},
    {"/g", "http://a/g"},
    {"//g", "http://g"},
    {"?y", "http://a/b/c/d;p?y"},
    {"g?y", "http://a/b/c/g?y"},
    {"#s", "http://a/b/c/d;p?q#s"},
    {"g#s", "http://a/b/c/g#s"},
    {"g?y#s", "http://a/b/c/g?y#s"},
    {";x", "http://a/b/c/;x"},
    {"g;x", "http://a/b/c/g;x"},
    {"g;x?y#s", "http://a/b/c/g;x?y#s"},
    {"", "http://a/b/c/d;p?q"},
    {".", "http://a/b/c/"},
    {"./", "http://a/b/c/"},
    {"..", "http://a/b/"},
    {"../", "http://a/b/"},
    {"../g", "http://a/b/g"},
    {"../..", "http://a/"},
    {"../../", "http://a/"},
    {"../../g", "http://a/g"},
    // 5.4.2 Abnormal Examples
    {"../../../g", "http://a/g"},
    {"../../../../g", "http://a/g"},
    {"/./g", "http://a/g"},
    {"/../g", "http://a/g"},
    {"g.", "http://a/b/c/g."},
    {".g", "http://a/b/c/.g"},
    {"g..", "http://a/b/c/g.."},
    {"..g", "http://a/b/c/..g"},
    {"./../g", "http://a/b/g"},
    {"./g/.", "http://a/b/c/g/"},
    {"g/./h", "http://a/b/c/g/h"},
    {"g/../h", "http://a/b/c/h"},
    {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
    {"g;x=1/../y", "http://a/b/c/y"},
    {"g?y/./x", "http://a/b/c/g?y/./x"},
    {"g?y/../x", "http://a/b/c/g?y/../x"},
    {"g#s/./x", "http://a/b/c/g#s/./x"},
    {"g#s/../x", "http://a/b/c/g#s/../x"},
    {"http:g", "http:g"},  // a strict parser's answer
};

const char* const rfcBase = "http://a/b/c/d;p?q";

std::string withoutFragment(const std::string& uri) { return uri.substr(0, uri.find('#')); }

// What redirectTarget makes of a Location: the target, or "(refused)".
std::string follow(const char* url, const std::string& location) {
    char* target = nullptr;
    Redirect got = redirectTarget(url, location.data(), static_cast<int>(location.size()), &target);
    std::string out = got == Redirect::Follow    ? std::string(target)
                      : got == Redirect::Refused ? "(refused)"
                                                 : "(no memory)";
    if (got != Redirect::Follow) {
        EXPECT_EQ(target, nullptr);
    }
    qfree(target);
    return out;
}

}  // namespace

using ReferenceTest = RequestModelTest;

// The fragment is never part of a target: each is compared with the RFC's
// result without it.
TEST_F(ReferenceTest, ResolvesEveryExampleOfRfc3986) {
    for (const Example& e : rfcExamples) {
        SCOPED_TRACE(e.ref);
        char* target = resolveReference(rfcBase, e.ref);
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(std::string(target), withoutFragment(e.target));
        qfree(target);
    }
}

// The same table as Location values of a redirect from the base: followed
// to the same target, except the two whose scheme is not http ("g:h") or
// that name no host ("http:g"), and the empty one, which leads nowhere new.
TEST_F(ReferenceTest, FollowsTheExamplesThatLeadToAnHttpHost) {
    for (const Example& e : rfcExamples) {
        SCOPED_TRACE(e.ref);
        std::string ref = e.ref;
        bool refused = ref == "g:h" || ref == "http:g" || ref.empty();
        EXPECT_EQ(follow(rfcBase, ref), refused ? "(refused)" : withoutFragment(e.target));
    }
}

TEST_F(ReferenceTest, FollowsOrRefusesALocation) {
    const struct {
        const char* url;       // the request's URL
        std::string location;  // the Location value
        const char* target;    // or "(refused)"
    } cases[] = {
        // The forms the issue names: absolute path, relative, up, query,
        // network path, absolute.
        {"http://h/a/b", "/p", "http://h/p"},
        {"http://h/a/b", "p", "http://h/a/p"},
        {"http://h/a/b", "../p", "http://h/p"},
        {"http://h/a/b?x", "?q", "http://h/a/b?q"},
        {"http://h:8080/a", "//other/p", "http://other/p"},
        {"https://h/a", "//other:8443/p", "https://other:8443/p"},
        {"http://h/a", "https://other/p#frag", "https://other/p"},
        {"http://h/a", "HTTP://Other/P", "HTTP://Other/P"},
        {"http://h:81", "p", "http://h:81/p"},
        {"http://[::1]:8080/a/b", "c", "http://[::1]:8080/a/c"},
        {"http://h/a", "http://[::1]/p", "http://[::1]/p"},
        {"http://h/a", "/caf\xc3\xa9", "http://h/caf\xc3\xa9"},
        // The request's URL as every request reads it: no scheme, or
        // another one, is plain http; the host after the first "//".
        {"h/a/b", "c", "http://h/a/c"},
        {"ftp://h/a/b", "/c", "http://h/c"},
        {"HTTPS://h/a", "b", "HTTPS://h/b"},
        // The caller's user information is never part of a target; one
        // in the Location is refused.
        {"http://u:pw@h/a/b", "c", "http://h/a/c"},
        {"http://u@h:81/a", "//h2/x", "http://h2/x"},
        {"http://h/a", "http://u:pw@evil/p", "(refused)"},
        {"http://h/a", "//u@evil/p", "(refused)"},
        // https to http is not followed; http to https is.
        {"https://h/a", "http://h/a", "(refused)"},
        {"http://h/a", "https://h/a", "https://h/a"},
        // Other schemes, and targets without a host.
        {"http://h/a", "ftp://h/a", "(refused)"},
        {"http://h/a", "javascript:alert(1)", "(refused)"},
        {"http://h/a", "localhost:8080/p", "(refused)"},
        {"http://h/a", "http:///p", "(refused)"},
        {"http://h/a", "http://:80/p", "(refused)"},
        {"http://h/a", "http:p", "(refused)"},
        // Nothing of these may reach a request.
        {"http://h/a", "/p\r\nX-Injected: 1", "(refused)"},
        {"http://h/a", "/p\nq", "(refused)"},
        {"http://h/a", "/p\rq", "(refused)"},
        {"http://h/a", "/p q", "(refused)"},
        {"http://h/a", "/p\tq", "(refused)"},
        {"http://h/a", "/p\x7fq", "(refused)"},
        {"http://h/a", std::string("/p\0q", 4), "(refused)"},
        {"http://h/a", "", "(refused)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.url) + " + " + c.location);
        EXPECT_EQ(follow(c.url, c.location), c.target);
    }
    EXPECT_TRUE(boxTexts().empty());
}

// Long references full of dot segments: each climbs no higher than the
// root, and every one of them is removed.
TEST_F(ReferenceTest, ManyDotSegments) {
    auto times = [](const std::string& piece, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += piece;
        return s;
    };
    EXPECT_EQ(follow("http://h/a/b/c", times("../", 50000) + "x"), "http://h/x");
    EXPECT_EQ(follow("http://h/a/b/c", times("y/../", 50000) + "x"), "http://h/a/b/x");
    EXPECT_EQ(follow("http://h/", times("d/./", 50000) + "x"), "http://h/" + times("d/", 50000) + "x");
    EXPECT_EQ(follow("http://h/", "/" + times("d/", 50000) + times("../", 49999) + ".."), "http://h/");
}

TEST_F(ReferenceTest, MemoryThatRunsOutIsReported) {
    // Two blocks: the request's URL as an absolute one, then the target.
    for (long n = 1; n <= 2; ++n) {
        SCOPED_TRACE(n);
        fake::state().boxes.clear();
        long live = qallocLive();
        qallocFailAt(n);
        EXPECT_EQ(follow("h/a", "b"), "(no memory)");
        qallocFailAt(0);
        EXPECT_EQ(boxTexts(), std::vector<std::string>{"new failed: location"});
        EXPECT_EQ(qallocLive(), live);
    }
    qallocFailAt(3);
    EXPECT_EQ(follow("h/a", "b"), "http://h/b");
    qallocFailAt(0);
}
