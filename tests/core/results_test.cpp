// The result-code table is the one source of the codes: the public header's
// constants and the README's table must say what it says.
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
// same value, and its enum value in the core.
#define QUODRA_RESULT(code, name, meaning)                                   \
    static_assert(QUODRA_##name == (code), "quodra.h: QUODRA_" #name);       \
    static_assert(RESULT_##name == (code), "core enum: RESULT_" #name);
#define QUODRA_SOCKET_ERROR(code, name, meaning)
#include "common/results.def"
#undef QUODRA_RESULT
#undef QUODRA_SOCKET_ERROR

namespace {

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" `");
    size_t b = s.find_last_not_of(" `");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The README's result table: code -> (name, meaning).
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
        if (line.empty() || line[0] != '|') break;
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

TEST(ResultTable, ReadmeListsEveryOwnCodeWithItsNameAndMeaning) {
    auto readme = readmeRows();
    size_t count = 0;
    const ResultRow* rows = resultRows(&count);
    size_t own = 0;
    for (size_t i = 0; i < count; ++i) {
        if (rows[i].socketError) continue;
        ++own;
        auto it = readme.find(rows[i].code);
        ASSERT_NE(it, readme.end()) << "README lacks code " << rows[i].code;
        EXPECT_EQ(it->second.first, std::string("QUODRA_") + rows[i].name);
        EXPECT_EQ(it->second.second, rows[i].meaning) << "code " << rows[i].code;
    }
    EXPECT_EQ(readme.size(), own) << "README lists a code the table does not";
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
    EXPECT_EQ(resultMeaning(6), nullptr);
}

}  // namespace
