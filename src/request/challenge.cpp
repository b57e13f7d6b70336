#include "request/challenge.h"

#include <cstring>

#include "common/alloc.h"
#include "common/reply_head.h"
#include "common/text.h"
#include "common/token.h"

namespace quodra {

namespace {

bool isToken68Char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c && std::strchr("-._~+/", c));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A byte that may not stand in a quoted-string, escaped or not: a control
// byte other than tab (NUL included) or DEL.
bool isControl(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
}

bool spanIs(const AuthSpan& s, const char* word) {
    // Only escape-free spans are compared: no value the library reads
    // needs one, and an escaped letter would compare as its backslash.
    return s.text && sameNoCase(s.text, s.len, word);
}

// Reading position inside one header value.
struct Reader {
    const char* p;
    int len;
    int at;

    bool end() const { return at >= len; }
    char peek() const { return at < len ? p[at] : '\0'; }
    void blanks() {
        while (at < len && isBlank(p[at])) ++at;
    }
    int token() {
        int start = at;
        while (at < len && isTokenChar(p[at])) ++at;
        return at - start;
    }
};

// A quoted-string starting at r.at ('"'): on success r.at is past its
// closing quote and *span its inside; false when it is broken (a control
// byte, an escape of one, or no closing quote before the end).
bool quoted(Reader& r, AuthSpan* span) {
    int start = ++r.at;
    while (r.at < r.len) {
        char c = r.p[r.at];
        if (c == '"') {
            *span = AuthSpan{r.p + start, r.at - start, true};
            ++r.at;
            return true;
        }
        if (isControl(c)) return false;
        if (c == '\\') {
            if (r.at + 1 >= r.len || isControl(r.p[r.at + 1])) return false;
            ++r.at;
        }
        ++r.at;
    }
    return false;
}

// An auth-param at r.at: token BWS "=" BWS ( token / quoted-string ). On
// success r.at is past it. Returns 1 for a parameter, 0 when what is there
// is not one (r.at unchanged), -1 when it starts like one but its value is
// broken (r.at unchanged).
int param(Reader& r, AuthSpan* name, AuthSpan* value) {
    Reader t = r;
    int n = t.token();
    if (n == 0) return 0;
    *name = AuthSpan{r.p + r.at, n, false};
    t.blanks();
    if (t.peek() != '=') return 0;
    ++t.at;
    t.blanks();
    if (t.peek() == '"') {
        if (!quoted(t, value)) return -1;
    } else {
        int start = t.at;
        int v = t.token();
        // "name=" and nothing (as "abc=" ends a token68) is no parameter.
        if (v == 0) return 0;
        *value = AuthSpan{r.p + start, v, false};
    }
    r = t;
    return 1;
}

// A token68 at r.at reaching to the end of the challenge (OWS, then a
// comma or the end). On success r.at is past it.
bool token68(Reader& r, AuthSpan* span) {
    Reader t = r;
    int start = t.at;
    while (!t.end() && isToken68Char(t.peek())) ++t.at;
    if (t.at == start) return false;
    while (t.peek() == '=') ++t.at;
    int end = t.at;
    t.blanks();
    if (!t.end() && t.peek() != ',') return false;
    *span = AuthSpan{r.p + start, end - start, false};
    r.at = end;
    return true;
}

// Past the next comma that is not inside a quoted-string, or to the end.
void skipItem(Reader& r) {
    while (!r.end() && r.peek() != ',') {
        if (r.peek() == '"') {
            AuthSpan ignored;
            if (!quoted(r, &ignored)) {
                r.at = r.len;  // unterminated: the rest is its inside
                return;
            }
        } else {
            ++r.at;
        }
    }
}

// Keeps a parameter the library reads; a second one of a name is malformed.
void keepParam(ChallengeView* v, const AuthSpan& name, const AuthSpan& value) {
    struct {
        const char* name;
        AuthSpan* slot;
    } known[] = {{"realm", &v->realm},         {"nonce", &v->nonce}, {"opaque", &v->opaque},
                 {"algorithm", &v->algorithm}, {"qop", &v->qop},     {"stale", &v->stale}};
    for (auto& k : known) {
        if (!sameNoCase(name.text, name.len, k.name)) continue;
        if (k.slot->text) v->malformed = true;
        *k.slot = value;
        return;
    }
}

}  // namespace

bool nextChallenge(const char* value, int len, int* at, ChallengeView* view) {
    *view = ChallengeView{};
    if (!value || len <= 0) return false;
    Reader r{value, len, *at};
    while (!r.end() && (isBlank(r.peek()) || r.peek() == ',')) ++r.at;
    if (r.end()) {
        *at = r.at;
        return false;
    }
    int start = r.at;
    int n = r.token();
    view->scheme = AuthSpan{value + start, n, false};
    bool spaced = isBlank(r.peek());
    r.blanks();
    if (n == 0 || (!spaced && !r.end() && r.peek() != ',')) {
        // No scheme here, or one glued to what follows it.
        view->malformed = true;
        skipItem(r);
        *at = r.at;
        return true;
    }
    if (r.end() || r.peek() == ',') {
        *at = r.at;  // a scheme alone
        return true;
    }
    AuthSpan name, v;
    int got = param(r, &name, &v);
    if (got == 0) {
        if (!token68(r, &view->token68)) {
            view->malformed = true;
            skipItem(r);
        }
        *at = r.at;
        return true;
    }
    // Parameters, each after a comma, until an item that is no parameter:
    // the next challenge's scheme.
    while (true) {
        if (got < 0) {
            view->malformed = true;
            skipItem(r);
        } else {
            keepParam(view, name, v);
            r.blanks();
            if (!r.end() && r.peek() != ',') {
                view->malformed = true;  // a stray byte after the value
                skipItem(r);
            }
        }
        int before = r.at;
        while (!r.end() && (isBlank(r.peek()) || r.peek() == ',')) ++r.at;
        if (r.end()) break;
        got = param(r, &name, &v);
        if (got == 0) {
            r.at = before;
            break;
        }
    }
    *at = r.at;
    return true;
}

int authSpanText(const AuthSpan& span, char* out) {
    if (!span.text) return 0;
    int n = 0;
    for (int i = 0; i < span.len; ++i) {
        // A well-read span never ends in a lone backslash.
        if (span.quoted && span.text[i] == '\\' && i + 1 < span.len) ++i;
        if (out) out[n] = span.text[i];
        ++n;
    }
    return n;
}

void initChallenge(Challenge* ch) { *ch = Challenge{}; }

void freeChallenge(Challenge* ch) {
    qfree(ch->texts);
    initChallenge(ch);
}

namespace {

// What a challenge is worth answering: 0 not at all, more is better.
struct Rank {
    int worth;
    DigestHash hash;
    bool session;
    bool qop;
};

// True when the list (a token, or a quoted comma-separated list) holds
// "auth" in any case.
bool offersAuth(const AuthSpan& qop) {
    const char* p = qop.text;
    int i = 0;
    while (i < qop.len) {
        while (i < qop.len && (isBlank(p[i]) || p[i] == ',')) ++i;
        int start = i;
        while (i < qop.len && !isBlank(p[i]) && p[i] != ',') ++i;
        if (sameNoCase(p + start, i - start, "auth")) return true;
    }
    return false;
}

Rank rank(const ChallengeView& v) {
    Rank r{0, DigestHash::Md5, false, false};
    if (v.malformed) return r;
    if (sameNoCase(v.scheme.text, v.scheme.len, "basic")) {
        r.worth = 1;
        return r;
    }
    if (!sameNoCase(v.scheme.text, v.scheme.len, "digest")) return r;
    if (!v.realm.text || !v.nonce.text || v.token68.text) return r;
    const struct {
        const char* name;
        DigestHash hash;
        bool session;
    } algorithms[] = {{"md5", DigestHash::Md5, false},
                      {"md5-sess", DigestHash::Md5, true},
                      {"sha-256", DigestHash::Sha256, false},
                      {"sha-256-sess", DigestHash::Sha256, true}};
    bool known = !v.algorithm.text;  // none given: MD5
    for (const auto& a : algorithms) {
        if (v.algorithm.text && spanIs(v.algorithm, a.name)) {
            known = true;
            r.hash = a.hash;
            r.session = a.session;
        }
    }
    if (!known) return r;
    if (v.qop.text) {
        if (!offersAuth(v.qop)) return r;
        r.qop = true;
        r.worth = r.hash == DigestHash::Sha256 ? 4 : 3;
        return r;
    }
    // The older form has neither cnonce nor nc, which the -sess variants
    // need, and knew MD5 alone.
    if (r.hash == DigestHash::Md5 && !r.session) r.worth = 2;
    return r;
}

// Copies what an answer needs from v into *ch (emptied first).
bool keep(const ChallengeView& v, const Rank& r, Challenge* ch) {
    freeChallenge(ch);
    int realm = authSpanText(v.realm, nullptr);
    int nonce = authSpanText(v.nonce, nullptr);
    int opaque = authSpanText(v.opaque, nullptr);
    char* block = static_cast<char*>(qalloc(static_cast<size_t>(realm) + nonce + opaque + 3));
    if (!block) return false;
    ch->texts = block;
    ch->realm = block;
    ch->realm[authSpanText(v.realm, ch->realm)] = '\0';
    ch->nonce = ch->realm + realm + 1;
    ch->nonce[authSpanText(v.nonce, ch->nonce)] = '\0';
    if (v.opaque.text) {
        ch->opaque = ch->nonce + nonce + 1;
        ch->opaque[authSpanText(v.opaque, ch->opaque)] = '\0';
    }
    ch->scheme = r.worth == 1 ? AuthScheme::Basic : AuthScheme::Digest;
    ch->hash = r.hash;
    ch->session = r.session;
    ch->qop = r.qop;
    ch->stale = spanIs(v.stale, "true");
    return true;
}

}  // namespace

ChallengeChoice chooseChallenge(const char* head, int len, AuthAsker asker, Challenge* chosen) {
    freeChallenge(chosen);
    const char* name = asker == AuthAsker::Proxy ? "proxy-authenticate" : "www-authenticate";
    int best = 0;
    int at = 0;
    HeadValue line;
    while (nextHeader(head, len, name, &at, &line)) {
        // The value read as one line (folds and bare CRs as spaces), which
        // is never longer than it stands in the head.
        char* value = static_cast<char*>(qalloc(static_cast<size_t>(line.len) + 1));
        if (!value) {
            freeChallenge(chosen);
            showAllocFailure("challenge");
            return ChallengeChoice::NoMemory;
        }
        int n = headerText(line, value, line.len + 1);
        int pos = 0;
        ChallengeView view;
        bool kept = true;
        while (kept && nextChallenge(value, n, &pos, &view)) {
            Rank r = rank(view);
            if (r.worth > best) {
                kept = keep(view, r, chosen);
                best = r.worth;
            }
        }
        qfree(value);
        if (!kept) {
            freeChallenge(chosen);
            showAllocFailure("challenge");
            return ChallengeChoice::NoMemory;
        }
    }
    return best ? ChallengeChoice::Chosen : ChallengeChoice::None;
}

}  // namespace quodra
