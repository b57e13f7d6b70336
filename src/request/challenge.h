// What a 401 (or a proxy's 407) asks for: the challenges of its
// WWW-Authenticate (Proxy-Authenticate) lines, read by the grammar of RFC
// 9110 section 11, and the one of them that a call answers.
//
//   challenge  = scheme [ 1*SP ( token68 / #auth-param ) ]
//   auth-param = token BWS "=" BWS ( token / quoted-string )
//
// A line may hold several challenges separated by commas, a head several
// lines; schemes and parameter names are read in any case.
//
// Reading never goes past the head's length. Each line's value is copied
// once (qalloc) to be read with its folds as spaces, and the challenge kept
// is copied out of it.
#pragma once

#include <cstdint>

namespace quodra {

// Who asks for credentials: the server (401, WWW-Authenticate, answered by
// Authorization) or a proxy on the way (407, Proxy-Authenticate, answered
// by Proxy-Authorization).
enum class AuthAsker { Server, Proxy };

enum class AuthScheme { None, Basic, Digest };
enum class DigestHash { Md5, Sha256 };

// ---- reading ----
// A piece of a challenge as it stands in the text read: a token, or the
// inside of a quoted-string (quoted), backslash escapes and all. text is
// null when the piece is absent.
struct AuthSpan {
    const char* text;
    int len;
    bool quoted;
};

// One challenge as written, with the parameters the library reads.
struct ChallengeView {
    AuthSpan scheme;
    AuthSpan token68;    // the scheme's single token68 instead of parameters
    AuthSpan realm;
    AuthSpan nonce;
    AuthSpan opaque;
    AuthSpan algorithm;
    AuthSpan qop;        // a comma-separated list in one value
    AuthSpan stale;
    bool malformed;      // broke the grammar (an unterminated or broken
                         // quoted-string, a control byte, a stray byte, a
                         // parameter given twice): not to be answered
};

// Walks the challenges of one header value value[0..len), its folded line
// ends already read as spaces (headerText): *at starts at 0; false when
// there is no further one. A malformed challenge is still given (marked),
// and reading goes on at the next comma that is not inside a quoted-string.
bool nextChallenge(const char* value, int len, int* at, ChallengeView* view);

// Writes the bytes the span stands for (a quoted-string without its
// escapes) to out, when out is not null; returns how many there are.
int authSpanText(const AuthSpan& span, char* out);

// ---- choosing ----
// The challenge a call answers, its texts unescaped and owned (one qalloc
// block for the three).
struct Challenge {
    AuthScheme scheme;
    DigestHash hash;  // Digest: the algorithm's hash
    bool session;     // Digest: the -sess variant (the first hash takes the nonces)
    bool qop;         // Digest: answered with qop=auth; false for a challenge
                      // without qop (the older form: no nc, no cnonce)
    bool stale;       // Digest: the server took the last nonce as good but old
    char* realm;      // "" when the challenge named none
    char* nonce;      // Digest; "" for Basic
    char* opaque;     // Digest: echoed; null when the challenge had none
    char* texts;      // the block the three point into
};

// An empty challenge (scheme None, no texts).
void initChallenge(Challenge* ch);
// Releases its texts and makes it empty again.
void freeChallenge(Challenge* ch);

enum class ChallengeChoice { Chosen, None, NoMemory };

// Reads every challenge of the head's lines named for asker and keeps in
// *chosen (emptied first) the one to answer:
//   - Digest before Basic; among Digest, SHA-256 before MD5, each with or
//     without -sess, the first written winning between equals;
//   - a Digest challenge is answered with qop "auth" when its qop list holds
//     it; one whose qop list lacks it (auth-int alone, say) is passed over;
//     one without qop at all (the older form) is answered, below any with
//     qop, and only with MD5, the one algorithm that form knows;
//   - a Digest challenge needs a realm and a nonce and an algorithm the
//     library knows (none given means MD5);
//   - other schemes and malformed challenges are passed over.
// None when nothing can be answered; NoMemory when a copy could not be made
// ("new failed: challenge" shown).
ChallengeChoice chooseChallenge(const char* head, int len, AuthAsker asker, Challenge* chosen);

}  // namespace quodra
