// The rules by which a certificate's DNS name stands for a host
// (src/platform/cert_names.cpp), which the Windows backend applies itself:
// exact names in any case, and a wildcard only as a whole leftmost label
// standing for one label.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/cert_names.h"

namespace {

TEST(CertNames, ExactNamesAndWholeLabelWildcardsOnly) {
    struct Case {
        const char* pattern;
        const char* host;
        bool matches;
    } cases[] = {
        {"localhost", "localhost", true},
        {"LocalHost", "localhost", true},
        {"www.example.com", "WWW.Example.Com", true},
        {"www.example.com", "example.com", false},
        {"example.com", "www.example.com", false},
        {"www.example.com", "www.example.co", false},
        {"www.example.co", "www.example.com", false},
        {"*.example.com", "www.example.com", true},
        {"*.Example.COM", "a.example.com", true},
        {"*.example.com", "example.com", false},       // one label, not none
        {"*.example.com", "a.b.example.com", false},   // ... and not two
        {"*.example.com", ".example.com", false},
        {"*.example.com", "www.example.org", false},
        {"*.com", "example.com", false},               // at least two labels after it
        {"*", "localhost", false},
        {"*.", "a.", false},
        {"w*.example.com", "www.example.com", false},  // a part of a label is no wildcard
        {"*w.example.com", "ww.example.com", false},
        {"www.*.com", "www.example.com", false},
        {"*.*.example.com", "a.b.example.com", false},
        {"", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " for " + c.host);
        EXPECT_EQ(plat::certNameMatches(c.pattern, std::strlen(c.pattern), c.host), c.matches);
    }
}

// A certificate's name is counted bytes: a NUL inside it (a name made to
// look like another) matches nothing, and no byte past its length is read.
TEST(CertNames, TheNameIsItsBytesAlone) {
    const char forged[] = "www.bank.example\0.evil.example";
    EXPECT_FALSE(plat::certNameMatches(forged, sizeof forged - 1, "www.bank.example"));
    const char longer[] = "localhostXYZ";
    EXPECT_TRUE(plat::certNameMatches(longer, 9, "localhost"));
    EXPECT_FALSE(plat::certNameMatches(nullptr, 0, "localhost"));
}

}  // namespace
