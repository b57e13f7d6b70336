// The tool's exit status for each outcome, and the one line that tells the
// user what went wrong.
#pragma once

#include <cstdio>
#include <string>

namespace cli {

constexpr int exitUsage = 2;
constexpr int exitProxyNotFound = 5;  // a result 1 with a lookup error behind it
constexpr int exitHttpError = 22;   // --fail and a status of 400 or more
constexpr int exitCannotStore = 23; // the reply (or the head) cannot be written
constexpr int exitCannotRead = 26;  // the body file (or standard input) cannot be read
constexpr int exitRangeRefused = 33;  // -C -: the server sent no rest from the output's end

// The exit status for a library result and the error behind it
// (httpLastError).
int exitStatusFor(int result, int lastError);

// The library's meaning of a result or error number (httpResultText).
std::string meaningOf(int code);

// The line for a failed call: the library's own words for why
// (httpLastErrorText), then "(result N, error E)", and which option sets a
// limit that ran out.
std::string describeResult(int result, int lastError, const std::string& why, int idleLimit,
                           int timeLimit);

// The exit status table as --help prints it.
void printExitTable(std::FILE* to);

}  // namespace cli
