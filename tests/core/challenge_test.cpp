// Reading the challenges of a 401 or 407 and choosing the one to answer:
// the grammar on header values (several challenges in one line, token68,
// escapes, any case, broken pieces passed over), the choice on whole heads,
// heads cut at every byte, and memory that runs out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request/challenge.h"
#include "request_fixture.h"

namespace {

std::string text(const AuthSpan& s) {
    std::string out(static_cast<size_t>(authSpanText(s, nullptr)), '\0');
    authSpanText(s, &out[0]);
    return out;
}

// Each challenge of a value as "Scheme name=value ...", the parameters the
// library reads in a fixed order; "!" marks a malformed one.
std::string describe(const std::string& value) {
    std::string all;
    int at = 0;
    ChallengeView v;
    while (nextChallenge(value.data(), static_cast<int>(value.size()), &at, &v)) {
        if (!all.empty()) all += " | ";
        all += std::string(v.scheme.text, static_cast<size_t>(v.scheme.len));
        if (v.malformed) all += "!";
        const struct {
            const char* name;
            const AuthSpan& span;
        } params[] = {{"token68", v.token68}, {"realm", v.realm},         {"nonce", v.nonce},
                      {"opaque", v.opaque},   {"algorithm", v.algorithm}, {"qop", v.qop},
                      {"stale", v.stale}};
        for (const auto& p : params)
            if (p.span.text) all += std::string(" ") + p.name + "=" + text(p.span);
    }
    return all;
}

// The chosen challenge in a line: "Digest SHA-256-sess qop stale realm=..
// nonce=.. opaque=..", "Basic realm=..", or "none".
std::string choose(const std::string& head, AuthAsker asker = AuthAsker::Server) {
    Challenge ch;
    initChallenge(&ch);
    ChallengeChoice got = chooseChallenge(head.data(), static_cast<int>(head.size()), asker, &ch);
    std::string out;
    if (got == ChallengeChoice::None) {
        EXPECT_EQ(ch.scheme, AuthScheme::None);
        out = "none";
    } else if (got == ChallengeChoice::NoMemory) {
        out = "no memory";
    } else if (ch.scheme == AuthScheme::Basic) {
        out = std::string("Basic realm=") + ch.realm;
    } else {
        out = ch.hash == DigestHash::Sha256 ? "Digest SHA-256" : "Digest MD5";
        if (ch.session) out += "-sess";
        if (ch.qop) out += " qop";
        if (ch.stale) out += " stale";
        out += std::string(" realm=") + ch.realm + " nonce=" + ch.nonce;
        if (ch.opaque) out += std::string(" opaque=") + ch.opaque;
    }
    freeChallenge(&ch);
    return out;
}

std::string head401(const std::string& lines) {
    return "HTTP/1.1 401 Unauthorized\r\n" + lines + "Content-Length: 0\r\n\r\n";
}

}  // namespace

using ChallengeTest = RequestModelTest;

TEST_F(ChallengeTest, ReadsTheGrammarOfAValue) {
    const struct {
        std::string value;
        const char* challenges;
    } cases[] = {
        {"Basic realm=\"simple\"", "Basic realm=simple"},
        {"Basic", "Basic"},
        // RFC 9110's example: two challenges in one line, the first with
        // parameters the library does not read.
        {"Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps\\\"\", Basic realm=\"simple\"",
         "Newauth realm=apps | Basic realm=simple"},
        {"Basic, Digest realm=\"r\", nonce=\"n\"", "Basic | Digest realm=r nonce=n"},
        {", , Basic ,, Digest realm=\"r\",,nonce=\"n\" ,", "Basic | Digest realm=r nonce=n"},
        {"Negotiate abc/def+==", "Negotiate token68=abc/def+=="},
        {"Negotiate abc=, Basic", "Negotiate token68=abc= | Basic"},
        {"Bearer x.y-z~_, Basic", "Bearer token68=x.y-z~_ | Basic"},
        // White space around '=', tabs, token values, names in any case.
        {"Digest realm = \"r\" ,\tnonce=\tn, ALGORITHM=md5-SESS, Qop=auth",
         "Digest realm=r nonce=n algorithm=md5-SESS qop=auth"},
        {"DIGEST REALM=\"r\", NONCE=\"n\", STALE=TRUE", "DIGEST realm=r nonce=n stale=TRUE"},
        // Escapes: a quote, a backslash, any other byte stands for itself.
        {"Digest realm=\"a\\\"b\\\\c\\d\", nonce=\"\"", "Digest realm=a\"b\\cd nonce="},
        {"Digest realm=\"caf\xc3\xa9\", nonce=\"n\"", "Digest realm=caf\xc3\xa9 nonce=n"},
        {"Digest realm=\"a, b\", nonce=\"c=d, e\", Basic", "Digest realm=a, b nonce=c=d, e | Basic"},
        // Broken pieces: the challenge is marked and passed over; reading
        // goes on at the next comma outside a quoted-string.
        {"Basic realm=\"unterminated", "Basic!"},
        {"Basic realm=\"unterminated\\", "Basic!"},
        {"Digest realm=\"a\x01z\", nonce=\"n\", Basic", "Digest!"},
        {"Digest realm=\"a\\\x01z\"", "Digest!"},
        {"Digest realm=\"a\x7fz\"", "Digest!"},
        {std::string("Digest realm=\"a\0z\", nonce=\"n\"", 28), "Digest!"},
        {"Digest realm=\"a\", realm=\"b\", nonce=\"n\"", "Digest! realm=b nonce=n"},
        {"Digest realm=\"r\" nonce=\"n\", Basic", "Digest! realm=r | Basic"},
        {"Digest realm=\"r\"x, Basic", "Digest! realm=r | Basic"},
        {"Basic\"x\", Basic", "Basic! | Basic"},
        {"@@@, Basic", "! | Basic"},
        {"Digest realm=, nonce=\"n\"", "Digest token68=realm= | nonce!"},
        {"Digest =\"r\"", "Digest!"},
        {"", ""},
        {" , ,", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(describe(c.value), c.challenges);
    }
}

TEST_F(ChallengeTest, ChoosesDigestBeforeBasicAndTheStrongerHash) {
    const std::string digestMd5 = "Digest realm=\"m\", nonce=\"1\", qop=\"auth\"";
    const std::string digestSha = "Digest realm=\"s\", nonce=\"2\", qop=\"auth\", algorithm=SHA-256";
    const struct {
        std::string lines;
        const char* chosen;
    } cases[] = {
        {"WWW-Authenticate: Basic realm=\"b\"\r\n", "Basic realm=b"},
        {"WWW-Authenticate: Basic\r\n", "Basic realm="},
        {"WWW-Authenticate: Basic realm=\"b\"\r\nWWW-Authenticate: " + digestMd5 + "\r\n",
         "Digest MD5 qop realm=m nonce=1"},
        {"WWW-Authenticate: " + digestMd5 + ", " + digestSha + "\r\n",
         "Digest SHA-256 qop realm=s nonce=2"},
        {"WWW-Authenticate: " + digestSha + "\r\nwww-authenticate: " + digestMd5 + "\r\n",
         "Digest SHA-256 qop realm=s nonce=2"},
        // Between equals the first written wins.
        {"WWW-Authenticate: Digest realm=\"first\", nonce=\"1\", qop=auth\r\n"
         "WWW-Authenticate: Digest realm=\"second\", nonce=\"2\", qop=auth\r\n",
         "Digest MD5 qop realm=first nonce=1"},
        // The algorithms, in any case and quoted or not.
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=auth, algorithm=MD5-sess\r\n",
         "Digest MD5-sess qop realm=r nonce=n"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=auth, algorithm=\"sha-256-SESS\"\r\n",
         "Digest SHA-256-sess qop realm=r nonce=n"},
        {"WWW-Authenticate: digest realm=\"r\", nonce=\"n\", qop=\"AUTH\", algorithm=md5\r\n",
         "Digest MD5 qop realm=r nonce=n"},
        // Unknown algorithms and schemes are passed over.
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=auth, algorithm=SHA-512-256\r\n",
         "none"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=auth, algorithm=SHA-512-256, "
         "Basic realm=\"b\"\r\n",
         "Basic realm=b"},
        {"WWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM\r\nWWW-Authenticate: Bearer "
         "realm=\"x\"\r\n",
         "none"},
        // qop: "auth" in the list is answered; auth-int alone is not.
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth-int, auth\"\r\n",
         "Digest MD5 qop realm=r nonce=n"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\", "
         "algorithm=SHA-256\r\nWWW-Authenticate: Basic realm=\"b\"\r\n",
         "Basic realm=b"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"authx\"\r\n", "none"},
        // Without qop (the older form): MD5 only, below any with qop.
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", "Digest MD5 realm=r nonce=n"},
        {"WWW-Authenticate: Digest realm=\"old\", nonce=\"1\"\r\nWWW-Authenticate: " + digestMd5 +
             "\r\n",
         "Digest MD5 qop realm=m nonce=1"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256\r\n", "none"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess\r\n", "none"},
        // A Digest challenge needs its realm and nonce.
        {"WWW-Authenticate: Digest nonce=\"n\", qop=auth\r\n", "none"},
        {"WWW-Authenticate: Digest realm=\"r\", qop=auth\r\nWWW-Authenticate: Basic\r\n",
         "Basic realm="},
        // opaque is kept to be echoed, stale noted, escapes undone.
        {"WWW-Authenticate: Digest realm=\"a \\\"b\\\"\", nonce=\"n\\\\1\", opaque=\"o,p\", "
         "qop=auth, stale=true\r\n",
         "Digest MD5 qop stale realm=a \"b\" nonce=n\\1 opaque=o,p"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=auth, stale=\"TRUE\"\r\n",
         "Digest MD5 qop stale realm=r nonce=n"},
        {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=auth, stale=false\r\n",
         "Digest MD5 qop realm=r nonce=n"},
        // A line folded over three, as RFC 7616 writes its examples.
        {"WWW-Authenticate: Digest\r\n    realm=\"r\",\r\n\tnonce=\"n\",\r\n qop=\"auth\"\r\n",
         "Digest MD5 qop realm=r nonce=n"},
        // A malformed Digest is passed over for a Basic beside it.
        {"WWW-Authenticate: Digest realm=\"r\", realm=\"s\", nonce=\"n\", qop=auth\r\n"
         "WWW-Authenticate: Basic realm=\"b\"\r\n",
         "Basic realm=b"},
        // Lines of the proxy's name, or lookalikes, are not the server's.
        {"Proxy-Authenticate: " + digestMd5 + "\r\n", "none"},
        {"WWW-Authenticate : " + digestMd5 + "\r\nX-WWW-Authenticate: Basic\r\n", "none"},
        {"", "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        EXPECT_EQ(choose(head401(c.lines)), c.chosen);
    }
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(ChallengeTest, AProxyIsAnsweredFromItsOwnLines) {
    const std::string head =
        "HTTP/1.1 407 Proxy Authentication Required\r\n"
        "WWW-Authenticate: Digest realm=\"server\", nonce=\"1\", qop=auth\r\n"
        "Proxy-Authenticate: Basic realm=\"proxy\"\r\n\r\n";
    EXPECT_EQ(choose(head, AuthAsker::Proxy), "Basic realm=proxy");
    EXPECT_EQ(choose(head, AuthAsker::Server), "Digest MD5 qop realm=server nonce=1");
}

// The head in a block of exactly its length, cut at every byte: nothing is
// read past the cut (the sanitizer build would say so), and the Digest
// challenge is chosen exactly when the cut keeps the nonce's closing quote.
TEST_F(ChallengeTest, AHeadCutAtEveryByteIsReadWithinItsLength) {
    const std::string head =
        "HTTP/1.1 401 Unauthorized\r\n"
        "WWW-Authenticate: Digest realm=\"r\", qop=auth, nonce=\"abc\"\r\n\r\n";
    const size_t whole = head.find("\"abc\"") + 5;
    for (size_t cut = 0; cut <= head.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<char> exact(head.begin(), head.begin() + static_cast<long>(cut));
        Challenge ch;
        initChallenge(&ch);
        ChallengeChoice got = chooseChallenge(exact.data(), static_cast<int>(cut), AuthAsker::Server, &ch);
        if (cut >= whole) {
            ASSERT_EQ(got, ChallengeChoice::Chosen);
            EXPECT_STREQ(ch.nonce, "abc");
        } else {
            EXPECT_EQ(got, ChallengeChoice::None);
        }
        freeChallenge(&ch);
    }
}

// Hostile heads at the size bound of a reply head: a quoted-string that
// never ends, control bytes, a line of nothing but commas, a challenge
// repeated thousands of times. Each is read to its end and within it.
TEST_F(ChallengeTest, HostileHeadsAreReadSafely) {
    const std::string many = [] {
        std::string s;
        for (int i = 0; i < 5000; ++i) s += "Digest realm=\"r\", nonce=\"" + std::to_string(i) + "\", ";
        return s;
    }();
    const struct {
        std::string lines;
        const char* chosen;
    } cases[] = {
        {"WWW-Authenticate: Digest realm=\"" + std::string(200000, 'x') + "\r\n", "none"},
        {"WWW-Authenticate: " + std::string(200000, ',') + "Basic\r\n", "Basic realm="},
        {"WWW-Authenticate: " + std::string(100000, '\\') + "\r\n", "none"},
        {"WWW-Authenticate: Basic realm=\"" + std::string(1000, '\x1b') + "\"\r\n", "none"},
        {"WWW-Authenticate: " + many + "\r\n", "Digest MD5 realm=r nonce=0"},
        {"WWW-Authenticate: \x01\x02\x03, Basic\r\n", "Basic realm="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.substr(0, 60));
        const std::string head = head401(c.lines);
        std::vector<char> exact(head.begin(), head.end());
        Challenge ch;
        initChallenge(&ch);
        chooseChallenge(exact.data(), static_cast<int>(exact.size()), AuthAsker::Server, &ch);
        freeChallenge(&ch);
        EXPECT_EQ(choose(head), c.chosen);
    }
}

// Each allocation in turn fails: the copy of a line, then the copy of a
// chosen challenge (the first, then a better one after it).
TEST_F(ChallengeTest, MemoryThatRunsOutIsReportedAndNothingIsKept) {
    const std::string head = head401(
        "WWW-Authenticate: Basic realm=\"b\", Digest realm=\"r\", nonce=\"n\", qop=auth\r\n");
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        fake::state().boxes.clear();
        long live = qallocLive();
        Challenge ch;
        initChallenge(&ch);
        qallocFailAt(n);
        ChallengeChoice got = chooseChallenge(head.data(), static_cast<int>(head.size()), AuthAsker::Server, &ch);
        qallocFailAt(0);
        if (got == ChallengeChoice::Chosen) {
            EXPECT_EQ(n, 4) << "three allocations: the line, the Basic copy, the Digest copy";
            EXPECT_TRUE(boxTexts().empty());
            freeChallenge(&ch);
            break;
        }
        EXPECT_EQ(got, ChallengeChoice::NoMemory);
        EXPECT_EQ(ch.scheme, AuthScheme::None);
        EXPECT_EQ(ch.texts, nullptr);
        EXPECT_EQ(boxTexts(), std::vector<std::string>{"new failed: challenge"});
        EXPECT_EQ(qallocLive(), live);
        ASSERT_LT(n, 10);
    }
}
