// The result-code table is the one source of the codes: the public header's
// constants, the README's tables and httpResultText must say what it says.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "common/results.h"
#include "quodra.h"

using namespace quodra;

// Every code of the library's own has its constant in quodra.h, with the
// same value, and its enum value in the core; every socket or lookup error
// number has its QUODRA_WSA_ constant.
#define QUODRA_RESULT(code, name, meaning)                                   \
    static_assert(QUODRA_##name == (code), "quodra.h: QUODRA_" #name);       \
    static_assert(RESULT_##name == (code), "core enum: RESULT_" #name);
#include "common/results.def"
#undef QUODRA_RESULT
#define QUODRA_SOCKET_ERROR(number, Name, NAME, wsaName, errnoName, meaning)  \
    static_assert(QUODRA_WSA_##NAME == (number), "quodra.h: QUODRA_WSA_" #NAME);
#include "platform/socket_errors.def"

namespace {

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" `");
    size_t b = s.find_last_not_of(" `");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The README's result tables (every table headed Code | Name | Meaning):
// code -> (name, meaning).
std::map<int, std::pair<std::string, std::string>> readmeRows() {
    std::ifstream in(QUODRA_SOURCE_DIR "/README.md");
    std::map<int, std::pair<std::string, std::string>> rows;
    std::string line;
    bool inTable = false;
    while (std::getline(in, line)) {
        if (line.rfind("| Code | Name | Meaning |", 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable) continue;
        if (line.empty() || line[0] != '|') {
            inTable = false;
            continue;
        }
        std::stringstream cells(line.substr(1));
        std::string code, name, meaning;
        std::getline(cells, code, '|');
        std::getline(cells, name, '|');
        std::getline(cells, meaning, '|');
        if (trim(code).find_first_not_of("0123456789") != std::string::npos) continue;
        rows[std::stoi(trim(code))] = {trim(name), trim(meaning)};
    }
    return rows;
}

std::string publicName(const ResultRow& row) {
    return std::string(row.socketError ? "QUODRA_WSA_" : "QUODRA_") + row.name;
}

TEST(ResultTable, ReadmeListsEveryCodeWithItsNameAndMeaning) {
    auto readme = readmeRows();
    size_t count = 0;
    const ResultRow* rows = resultRows(&count);
    for (size_t i = 0; i < count; ++i) {
        auto it = readme.find(rows[i].code);
        ASSERT_NE(it, readme.end()) << "README lacks code " << rows[i].code;
        EXPECT_EQ(it->second.first, publicName(rows[i]));
        EXPECT_EQ(it->second.second, rows[i].meaning) << "code " << rows[i].code;
    }
    EXPECT_EQ(readme.size(), count) << "README lists a code the table does not";
}

TEST(ResultTable, ResultTextGivesEachMeaningWhole) {
    size_t count = 0;
    const ResultRow* rows = resultRows(&count);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(rows[i].code);
        int len = static_cast<int>(std::strlen(rows[i].meaning));
        EXPECT_EQ(httpResultText(rows[i].code, nullptr, 0), len);
        char text[256];
        EXPECT_EQ(httpResultText(rows[i].code, text, sizeof text), len);
        EXPECT_STREQ(text, rows[i].meaning);
    }
    // A code without a row: length 0 and an empty text, not stale bytes.
    char text[8] = "stale";
    EXPECT_EQ(httpResultText(2, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(httpResultText(-1, nullptr, 0), 0);
}

TEST(ResultTable, ResultTextIsCutToTheCallersBuffer) {
    const std::string meaning = "connection refused";
    const int len = static_cast<int>(meaning.size());
    struct Case {
        int size;          // what the caller says its buffer holds
        std::string text;  // what must be in it afterwards
    };
    const Case cases[] = {
        {0, "########"},  // nothing written
        {-5, "########"},
        {1, ""},
        {5, "conn"},
        {len, meaning.substr(0, len - 1)},
        {len + 1, meaning},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        buf[sizeof buf - 1] = '\0';
        EXPECT_EQ(httpResultText(10061, buf, c.size), len);
        EXPECT_EQ(std::string(buf, c.text.size()), c.text);
        // The NUL after the text, and not a byte past the buffer's size.
        if (c.size > 0) {
            EXPECT_EQ(buf[c.text.size()], '\0');
            EXPECT_EQ(buf[c.size], '#');
        } else {
            EXPECT_EQ(buf[0], '#');
        }
    }
}

TEST(ResultTable, CodesAreUniqueAndOwnCodesStayBelowSocketErrors) {
    size_t count = 0;
    const ResultRow* rows = resultRows(&count);
    std::map<int, int> seen;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(seen[rows[i].code]++, 0) << "code " << rows[i].code << " twice";
        // Socket error numbers start at 10000, above every code of our own.
        EXPECT_EQ(rows[i].code < 10000, !rows[i].socketError) << rows[i].code;
        EXPECT_STREQ(resultMeaning(rows[i].code), rows[i].meaning);
    }
    EXPECT_EQ(resultMeaning(2), nullptr);
    EXPECT_EQ(resultMeaning(11), nullptr);
}

}  // namespace
