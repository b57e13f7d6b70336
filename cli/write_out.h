// -w/--write-out: a format with %{variables}, printed after the call.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cli {

// What the variables report about the finished call.
struct CallFacts {
    int status = 0;            // http_code: 0 when no head came
    int64_t sizeDownload = 0;  // body bytes received
    int64_t sizeHeader = 0;    // bytes of the reply head
    double seconds = 0;        // time_total
    std::string contentType;   // from the head, empty without one
    // header:NAME, by NAME as written in the format: the values of the lines
    // the head has
    std::map<std::string, std::string> headers;
    int exitStatus = 0;
    std::string errorMessage;  // empty when the call succeeded
    int result = 0;            // the library's result code
};

// True when name is a header name (an RFC 9110 token).
bool isHeaderName(const std::string& name);

// False, with the variable's name, when the format names one not known
// (header: with no header name after it among them).
bool writeOutIsValid(const std::string& format, std::string* unknown);

// The NAMEs of the format's %{header:NAME} variables.
std::vector<std::string> headerNamesIn(const std::string& format);

std::string renderWriteOut(const std::string& format, const CallFacts& facts);

}  // namespace cli
