// Fuzz target: what a reply asks of the request after it: the challenges
// of a 401 or 407 and the answer to the one chosen, or a Location and the
// URL it leads to.
//
// Input: a selector byte, then the rest. Selector bit 0 clear: the rest is
// the header lines of a 401 (bit 1 set: read for a proxy). Bit 0 set: the
// rest is a Location value, followed from the request URL that bits 1-2
// pick.
//
// Oracles, challenges: a challenge is chosen only when the head names Basic
// or Digest; a chosen Digest one's texts hold no control byte but tab; the
// answer to it is one line ending in CR LF, and the Digest answer, read back
// as a challenge, gives the realm, nonce and opaque that were chosen (what
// is quoted reads back as it was). Location: a value with a control byte or
// a space, or an empty one, is refused; a target is followed only as an
// http or https URL without such bytes, a fragment or user information,
// never from https to http, and with its dot segments gone (resolving it
// again changes nothing). Nothing is leaked.
#include <cstdint>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "request/authorization.h"
#include "request/challenge.h"
#include "request/reference.h"

using namespace quodra;

namespace {

// A control byte or DEL in s; with strict, a tab or a space as well.
bool hasControl(const std::string& s, bool strict) {
    for (unsigned char c : s)
        if (c == 0x7F || (c < 0x20 && (strict || c != '\t')) || (strict && c == ' ')) return true;
    return false;
}

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string spanText(const AuthSpan& s) {
    std::string out(static_cast<size_t>(authSpanText(s, nullptr)), '\0');
    if (!out.empty()) authSpanText(s, &out[0]);
    return out;
}

void challenges(const std::string& lines, bool proxy) {
    const std::string text = "HTTP/1.1 401 x\r\n" + lines;
    // Exactly the head's bytes, no NUL after them: a read past the end is
    // the sanitizer's to see.
    std::vector<char> head(text.begin(), text.end());
    Challenge ch;
    initChallenge(&ch);
    AuthAsker asker = proxy ? AuthAsker::Proxy : AuthAsker::Server;
    ChallengeChoice got = chooseChallenge(head.data(), static_cast<int>(head.size()), asker, &ch);
    FUZZ_CHECK(got != ChallengeChoice::NoMemory);
    if (got == ChallengeChoice::None) {
        FUZZ_CHECK(ch.scheme == AuthScheme::None && ch.texts == nullptr);
        return;
    }
    const std::string low = lowered(lines);
    FUZZ_CHECK(ch.scheme == AuthScheme::Basic ? low.find("basic") != std::string::npos
                                              : low.find("digest") != std::string::npos);
    for (const char* t : {ch.realm, ch.nonce, ch.opaque})
        FUZZ_CHECK(!t || !hasControl(t, false));

    const AuthRequest req{asker, "u\"s\\er", "pw", "GET", "/t", 1, "c"};
    char* line = nullptr;
    FUZZ_CHECK(answerChallenge(ch, req, &line) == AuthAnswer::Made);
    const std::string answer = line;
    qfree(line);
    const std::string name = proxy ? "Proxy-Authorization: " : "Authorization: ";
    FUZZ_CHECK(answer.compare(0, name.size(), name) == 0);
    FUZZ_CHECK(answer.size() >= 2 && answer.find_first_of("\r\n") == answer.size() - 2);
    if (ch.scheme == AuthScheme::Digest) {
        // The answer's parameters read back by the challenge reader.
        const std::string value = answer.substr(name.size(), answer.size() - name.size() - 2);
        int at = 0;
        ChallengeView v;
        FUZZ_CHECK(nextChallenge(value.data(), static_cast<int>(value.size()), &at, &v));
        FUZZ_CHECK(!v.malformed);
        FUZZ_CHECK(spanText(v.realm) == ch.realm && spanText(v.nonce) == ch.nonce);
        FUZZ_CHECK(ch.opaque ? v.opaque.text && spanText(v.opaque) == ch.opaque : !v.opaque.text);
        FUZZ_CHECK(!nextChallenge(value.data(), static_cast<int>(value.size()), &at, &v));
    } else {
        FUZZ_CHECK(answer.compare(name.size(), 6, "Basic ") == 0);
    }
    freeChallenge(&ch);
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    return lowered(s.substr(0, std::string(prefix).size())) == prefix;
}

void location(const std::string& value, int which) {
    static const char* const urls[] = {"http://a/b/c/d;p?q", "https://h:8443/x/y?z",
                                       "h/a/b", "http://u:pw@[::1]:81/a/"};
    const char* url = urls[which];
    // Exactly the value's bytes, as the head holds them.
    std::vector<char> bytes(value.begin(), value.end());
    char* target = nullptr;
    Redirect got = redirectTarget(url, bytes.data(), static_cast<int>(bytes.size()), &target);
    FUZZ_CHECK(got != Redirect::NoMemory);
    if (value.empty() || hasControl(value, true)) FUZZ_CHECK(got == Redirect::Refused);
    if (got != Redirect::Follow) {
        FUZZ_CHECK(target == nullptr);
        return;
    }
    const std::string t = target;
    FUZZ_CHECK(!hasControl(t, true) && t.find('#') == std::string::npos);
    bool secure = startsWithNoCase(t, "https://");
    FUZZ_CHECK(secure || startsWithNoCase(t, "http://"));
    FUZZ_CHECK(secure || !startsWithNoCase(url, "https://"));
    const size_t host = t.find("//") + 2;
    const std::string authority = t.substr(host, t.find_first_of("/?", host) - host);
    FUZZ_CHECK(!authority.empty() && authority.find('@') == std::string::npos);
    char* again = resolveReference(url, target);
    FUZZ_CHECK(again && t == again);
    qfree(again);
    qfree(target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::reset();
    const long live = qallocLive();
    const uint8_t selector = size > 0 ? data[0] : 0;
    const std::string rest = size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : "";
    if (selector & 1) location(rest, (selector >> 1) & 3);
    else challenges(rest, (selector & 2) != 0);
    FUZZ_CHECK(qallocLive() == live);
    FUZZ_CHECK(fake::state().boxes.empty());
    return 0;
}
