// MD5 and SHA-256 against their published test vectors, fed whole, split in
// two at every byte and in pieces of every size; Base64 against RFC 4648.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/base64.h"
#include "common/md5.h"
#include "common/sha256.h"

using namespace quodra;

namespace {

std::string hex(const unsigned char* bytes, int n) {
    std::string s;
    char two[3];
    for (int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        s += two;
    }
    return s;
}

// The digest of input fed in the pieces that cut() gives: cut(at) returns
// the length of the piece starting at at.
template <typename Cut>
std::string md5Of(const std::string& input, Cut cut) {
    Md5 md;
    md5Start(&md);
    for (size_t at = 0; at < input.size();) {
        size_t n = cut(at);
        md5Add(&md, input.data() + at, n);
        at += n;
    }
    unsigned char d[MD5_SIZE];
    md5Finish(&md, d);
    return hex(d, MD5_SIZE);
}

template <typename Cut>
std::string sha256Of(const std::string& input, Cut cut) {
    Sha256 sha;
    sha256Start(&sha);
    for (size_t at = 0; at < input.size();) {
        size_t n = cut(at);
        sha256Add(&sha, input.data() + at, n);
        at += n;
    }
    unsigned char d[SHA256_SIZE];
    sha256Finish(&sha, d);
    return hex(d, SHA256_SIZE);
}

std::string md5Whole(const std::string& s) {
    return md5Of(s, [&](size_t at) { return s.size() - at; });
}
std::string sha256Whole(const std::string& s) {
    return sha256Of(s, [&](size_t at) { return s.size() - at; });
}

std::string as(size_t n) { return std::string(n, 'a'); }

struct Vector {
    std::string input;
    const char* digest;
};

// RFC 1321, appendix A.5, and runs of 'a' at the block edges: 55 bytes is
// the most that leaves room for the length in the same block, 56 the least
// that needs a second one, 63, 64 and 65 around a whole block, 119 and 120
// the same edge one block later. The edge values were checked with
// coreutils' md5sum and sha256sum.
const Vector md5Vectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {as(55), "ef1772b6dff9a122358552954ad0df65"},
    {as(56), "3b0c8ac703f828b04c6c197006d17218"},
    {as(63), "b06521f39153d618550606be297466d5"},
    {as(64), "014842d480b571495a4a0363793f7367"},
    {as(65), "c743a45e0d2e6a95cb859adae0248435"},
    {as(119), "8a7bd0732ed6a28ce75f6dabc90e1613"},
    {as(120), "5f61c0ccad4cac44c75ff505e1f1e537"},
};

// FIPS 180-2 appendix B and the NIST examples (one block, two blocks, the
// 112-byte message), and the same runs of 'a'.
const Vector sha256Vectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
     "nopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {as(55), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {as(56), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {as(63), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
    {as(64), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    {as(65), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
    {as(119), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
    {as(120), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
};

}  // namespace

TEST(Md5, PublishedVectorsWholeSplitAndInPieces) {
    for (const Vector& v : md5Vectors) {
        SCOPED_TRACE(v.input.size() > 20 ? v.input.substr(0, 20) + "..." : v.input);
        EXPECT_EQ(md5Whole(v.input), v.digest);
        for (size_t split = 0; split <= v.input.size(); ++split)
            ASSERT_EQ(md5Of(v.input, [&](size_t at) { return at < split ? split - at : v.input.size() - at; }),
                      v.digest)
                << "split at " << split;
        for (size_t piece = 1; piece <= v.input.size(); ++piece)
            ASSERT_EQ(md5Of(v.input, [&](size_t at) { return std::min(piece, v.input.size() - at); }),
                      v.digest)
                << "pieces of " << piece;
    }
}

TEST(Sha256, PublishedVectorsWholeSplitAndInPieces) {
    for (const Vector& v : sha256Vectors) {
        SCOPED_TRACE(v.input.size() > 20 ? v.input.substr(0, 20) + "..." : v.input);
        EXPECT_EQ(sha256Whole(v.input), v.digest);
        for (size_t split = 0; split <= v.input.size(); ++split)
            ASSERT_EQ(sha256Of(v.input, [&](size_t at) { return at < split ? split - at : v.input.size() - at; }),
                      v.digest)
                << "split at " << split;
        for (size_t piece = 1; piece <= v.input.size(); ++piece)
            ASSERT_EQ(sha256Of(v.input, [&](size_t at) { return std::min(piece, v.input.size() - at); }),
                      v.digest)
                << "pieces of " << piece;
    }
}

// A million 'a' (the long message of both suites) in pieces that fall on,
// just before and just after the block edges, and in uneven ones.
TEST(Hashes, MillionBytesInPiecesOfManySizes) {
    const std::string million = as(1000000);
    for (size_t piece : {size_t(1), size_t(55), size_t(63), size_t(64), size_t(65), size_t(4093),
                         size_t(1000000)}) {
        SCOPED_TRACE(piece);
        auto cut = [&](size_t at) { return std::min(piece, million.size() - at); };
        EXPECT_EQ(md5Of(million, cut), "7707d6ae4e027c70eea2a935c2296f21");
        EXPECT_EQ(sha256Of(million, cut),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

TEST(Base64, Rfc4648VectorsAndBytesThatAreNotText) {
    const struct {
        std::string bytes;
        const char* text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        // RFC 7617's example, and bytes that are not text.
        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {std::string("\0", 1), "AA=="},
        {"\xff\xfe\xfd", "//79"},
        {"\xfb\xff", "+/8="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(base64Length(c.bytes.size()), std::string(c.text).size());
        std::string out(base64Length(c.bytes.size()) + 1, '#');
        base64Encode(c.bytes.data(), c.bytes.size(), &out[0]);
        EXPECT_EQ(out, std::string(c.text) + '\0');
    }
}
