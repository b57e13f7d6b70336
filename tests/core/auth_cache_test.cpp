// The process-wide cache of what answered an origin: keyed by scheme, host
// (in any case), port and user; the nonce count handed out under its lock,
// never twice, from threads at once; bounded, the least recently used
// going first; memory that runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "request/auth_cache.h"
#include "request/challenge.h"
#include "request_fixture.h"

namespace {

Challenge chosenFrom(const std::string& lines) {
    const std::string head = "HTTP/1.1 401 x\r\n" + lines + "\r\n";
    Challenge ch;
    initChallenge(&ch);
    EXPECT_EQ(chooseChallenge(head.data(), static_cast<int>(head.size()), AuthAsker::Server, &ch),
              ChallengeChoice::Chosen);
    return ch;
}

const char* const digestLine =
    "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", opaque=\"o\", qop=auth, "
    "algorithm=SHA-256-sess\r\n";

// What recallAuth gives, as "scheme realm nonce opaque nc" or "none".
std::string recall(const AuthOrigin& origin, const char* user) {
    Challenge ch;
    initChallenge(&ch);
    uint32_t nc = 99;
    AuthRecall got = recallAuth(origin, user, &ch, &nc);
    std::string out;
    if (got == AuthRecall::None) {
        out = "none";
        EXPECT_EQ(nc, 0u);
    } else if (got == AuthRecall::NoMemory) {
        out = "no memory";
    } else if (ch.scheme == AuthScheme::Basic) {
        out = "Basic";
    } else {
        out = std::string(ch.hash == DigestHash::Sha256 ? "SHA-256" : "MD5") +
              (ch.session ? "-sess" : "") + (ch.qop ? " qop" : "") + " " + ch.realm + " " +
              ch.nonce + " " + (ch.opaque ? ch.opaque : "(none)") + " " + std::to_string(nc);
    }
    freeChallenge(&ch);
    return out;
}

class AuthCacheTest : public RequestModelTest {
protected:
    void SetUp() override {
        clearAuthCache();
        RequestModelTest::SetUp();
    }
    void TearDown() override {
        clearAuthCache();
        RequestModelTest::TearDown();
    }
};

}  // namespace

TEST_F(AuthCacheTest, KeepsWhatAnsweredAnOriginForItsUser) {
    Challenge basic = chosenFrom("WWW-Authenticate: Basic realm=\"b\"\r\n");
    Challenge digest = chosenFrom(digestLine);
    const AuthOrigin plain{false, "Server.Example", 8080};
    ASSERT_TRUE(rememberAuth(plain, "alice", basic, 0));
    ASSERT_TRUE(rememberAuth(plain, "bob", digest, 1));

    const struct {
        AuthOrigin origin;
        const char* user;
        const char* kept;
    } cases[] = {
        {{false, "server.example", 8080}, "alice", "Basic"},
        {{false, "SERVER.EXAMPLE", 8080}, "alice", "Basic"},
        {{false, "server.example", 8080}, "bob", "SHA-256-sess qop r n1 o 2"},
        {{false, "server.example", 8080}, "bob", "SHA-256-sess qop r n1 o 3"},
        // Another scheme, port, host or user is another key.
        {{true, "server.example", 8080}, "alice", "none"},
        {{false, "server.example", 80}, "alice", "none"},
        {{false, "server.example.", 8080}, "alice", "none"},
        {{false, "server.exampl", 8080}, "alice", "none"},
        {{false, "server.example", 8080}, "Alice", "none"},
        {{false, "server.example", 8080}, "alic", "none"},
        {{false, "server.example", 8080}, "", "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.origin.host) + " " + c.user);
        EXPECT_EQ(recall(c.origin, c.user), c.kept);
    }
    EXPECT_EQ(authCacheSize(), 2);

    // A new challenge replaces the old, its count starting again.
    Challenge fresh = chosenFrom(
        "WWW-Authenticate: Digest realm=\"r\", nonce=\"n2\", qop=auth, stale=true\r\n");
    ASSERT_TRUE(rememberAuth(plain, "bob", fresh, 1));
    EXPECT_EQ(recall(plain, "bob"), "MD5 qop r n2 (none) 2");
    // Without qop there is no count to hand out.
    Challenge older = chosenFrom("WWW-Authenticate: Digest realm=\"r\", nonce=\"n3\"\r\n");
    ASSERT_TRUE(rememberAuth(plain, "bob", older, 0));
    EXPECT_EQ(recall(plain, "bob"), "MD5 r n3 (none) 0");
    EXPECT_EQ(recall(plain, "bob"), "MD5 r n3 (none) 0");
    EXPECT_EQ(authCacheSize(), 2);

    forgetAuth(plain, "bob");
    EXPECT_EQ(recall(plain, "bob"), "none");
    EXPECT_EQ(recall(plain, "alice"), "Basic");
    EXPECT_EQ(authCacheSize(), 1);
    for (Challenge* ch : {&basic, &digest, &fresh, &older}) freeChallenge(ch);
    EXPECT_TRUE(boxTexts().empty());
}

// A nonce's count ends at 0xffffffff: the entry is forgotten rather than
// wrap to a count the server has seen.
TEST_F(AuthCacheTest, ANonceWhoseCountWouldWrapIsForgotten) {
    Challenge digest = chosenFrom(digestLine);
    const AuthOrigin origin{true, "h", 443};
    ASSERT_TRUE(rememberAuth(origin, "u", digest, 0xfffffffe));
    EXPECT_EQ(recall(origin, "u"), "SHA-256-sess qop r n1 o 4294967295");
    EXPECT_EQ(recall(origin, "u"), "none");
    EXPECT_EQ(authCacheSize(), 0);
    freeChallenge(&digest);
}

TEST_F(AuthCacheTest, TheLeastRecentlyUsedGoesFirst) {
    Challenge basic = chosenFrom("WWW-Authenticate: Basic\r\n");
    std::vector<std::string> hosts;
    for (int i = 0; i <= AUTH_CACHE_ENTRIES; ++i) hosts.push_back("host" + std::to_string(i));
    for (int i = 0; i < AUTH_CACHE_ENTRIES; ++i)
        ASSERT_TRUE(rememberAuth({false, hosts[i].c_str(), 80}, "u", basic, 0));
    EXPECT_EQ(authCacheSize(), AUTH_CACHE_ENTRIES);
    // host0 is used again, so host1 is now the oldest; a new one takes its
    // place, and replacing a kept one takes nobody's.
    EXPECT_EQ(recall({false, "host0", 80}, "u"), "Basic");
    ASSERT_TRUE(rememberAuth({false, hosts[AUTH_CACHE_ENTRIES].c_str(), 80}, "u", basic, 0));
    ASSERT_TRUE(rememberAuth({false, "host2", 80}, "u", basic, 0));
    EXPECT_EQ(authCacheSize(), AUTH_CACHE_ENTRIES);
    for (int i = 0; i <= AUTH_CACHE_ENTRIES; ++i)
        EXPECT_EQ(recall({false, hosts[i].c_str(), 80}, "u"), i == 1 ? "none" : "Basic") << hosts[i];
    freeChallenge(&basic);
}

TEST_F(AuthCacheTest, MemoryThatRunsOutIsReported) {
    Challenge digest = chosenFrom(digestLine);
    const AuthOrigin origin{false, "h", 80};
    ASSERT_TRUE(rememberAuth(origin, "u", digest, 1));

    // A recall that cannot copy leaves the entry and its count as they were.
    qallocFailAt(1);
    EXPECT_EQ(recall(origin, "u"), "no memory");
    qallocFailAt(0);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"new failed: challenge"});
    EXPECT_EQ(recall(origin, "u"), "SHA-256-sess qop r n1 o 2");

    // A remember that cannot copy forgets what was kept.
    fake::state().boxes.clear();
    qallocFailAt(1);
    EXPECT_FALSE(rememberAuth(origin, "u", digest, 1));
    qallocFailAt(0);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"new failed: authcache"});
    EXPECT_EQ(recall(origin, "u"), "none");
    EXPECT_EQ(authCacheSize(), 0);
    freeChallenge(&digest);
}

// Threads recalling one nonce get every count once; others filling and
// emptying the cache beside them never push it past its bound.
TEST(AuthCacheThreads, EveryCountIsHandedOutOnce) {
    clearAuthCache();
    const AuthOrigin shared{true, "shared", 443};
    {
        Challenge digest = chosenFrom(digestLine);
        ASSERT_TRUE(rememberAuth(shared, "u", digest, 1));
        freeChallenge(&digest);
    }
    constexpr int THREADS = 6, RECALLS = 20000;
    std::vector<std::vector<uint32_t>> counts(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < RECALLS; ++i) {
                Challenge ch;
                initChallenge(&ch);
                uint32_t nc = 0;
                if (recallAuth(shared, "u", &ch, &nc) == AuthRecall::Found) counts[t].push_back(nc);
                freeChallenge(&ch);
            }
        });
    }
    // Two more threads churn through other keys, fewer than the bound
    // together with the shared one, so that it is never the one to go.
    std::vector<int> largest(2, 0);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            Challenge basic = chosenFrom("WWW-Authenticate: Basic\r\n");
            for (int i = 0; i < 3000; ++i) {
                std::string host = "churn" + std::to_string(t) + "-" + std::to_string(i % 15);
                const AuthOrigin o{false, host.c_str(), 80};
                if (i % 3 == 2) forgetAuth(o, "u");
                else rememberAuth(o, "u", basic, 0);
                largest[t] = std::max(largest[t], authCacheSize());
            }
            freeChallenge(&basic);
        });
    }
    for (std::thread& th : threads) th.join();

    std::vector<uint32_t> all;
    for (const auto& c : counts) all.insert(all.end(), c.begin(), c.end());
    ASSERT_EQ(all.size(), size_t(THREADS) * RECALLS) << "the shared entry went away";
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i + 2) << "a count given twice or skipped";
    for (int t = 0; t < 2; ++t) EXPECT_LE(largest[t], AUTH_CACHE_ENTRIES);
    clearAuthCache();
    EXPECT_EQ(authCacheSize(), 0);
}

// Threads that each keep more origins than the bound: the cache stays
// within it, and what it counts is what can be found in it.
TEST(AuthCacheThreads, StaysWithinItsBound) {
    clearAuthCache();
    constexpr int THREADS = 4, EACH = 500;
    std::vector<std::thread> threads;
    std::vector<int> largest(THREADS, 0);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            Challenge basic = chosenFrom("WWW-Authenticate: Basic\r\n");
            for (int i = 0; i < EACH; ++i) {
                std::string host = "t" + std::to_string(t) + "-" + std::to_string(i);
                rememberAuth({false, host.c_str(), 80}, "u", basic, 0);
                largest[t] = std::max(largest[t], authCacheSize());
            }
            freeChallenge(&basic);
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < THREADS; ++t) EXPECT_LE(largest[t], AUTH_CACHE_ENTRIES);
    EXPECT_EQ(authCacheSize(), AUTH_CACHE_ENTRIES);
    int found = 0;
    for (int t = 0; t < THREADS; ++t) {
        for (int i = 0; i < EACH; ++i) {
            std::string host = "t" + std::to_string(t) + "-" + std::to_string(i);
            if (recall({false, host.c_str(), 80}, "u") == "Basic") ++found;
        }
    }
    EXPECT_EQ(found, AUTH_CACHE_ENTRIES);
    clearAuthCache();
}
