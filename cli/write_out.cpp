// The --write-out format: %{name} is a variable, %% a per cent sign, and
// \n, \r, \t and \\ the usual escapes; anything else is copied.
#include "write_out.h"

#include <cstdio>
#include <cstring>

namespace cli {

namespace {

const char* const names[] = {"http_code", "response_code", "size_download", "size_header",
                             "time_total", "content_type", "exitcode", "errormsg", "result"};

// "header:NAME" asks for the value of the head's line NAME.
const std::string HEADER = "header:";

bool isHeaderVariable(const std::string& name) { return name.compare(0, HEADER.size(), HEADER) == 0; }

bool known(const std::string& name) {
    if (isHeaderVariable(name)) return isHeaderName(name.substr(HEADER.size()));
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

std::string value(const std::string& name, const CallFacts& f) {
    char text[64];
    if (name == "http_code" || name == "response_code") {
        std::snprintf(text, sizeof text, "%03d", f.status);
        return text;
    }
    if (name == "size_download") return std::to_string(f.sizeDownload);
    if (name == "size_header") return std::to_string(f.sizeHeader);
    if (name == "time_total") {
        std::snprintf(text, sizeof text, "%.6f", f.seconds);
        return text;
    }
    if (name == "content_type") return f.contentType;
    if (name == "exitcode") return std::to_string(f.exitStatus);
    if (name == "errormsg") return f.errorMessage;
    if (name == "result") return std::to_string(f.result);
    if (isHeaderVariable(name)) {
        auto it = f.headers.find(name.substr(HEADER.size()));
        return it == f.headers.end() ? "" : it->second;
    }
    return "";
}

// Walks the format, handing each variable name to onVariable and each
// literal piece to onText; false when a name is not known.
template <typename Variable, typename Text>
bool walk(const std::string& format, Variable onVariable, Text onText) {
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size() && format[i + 1] == '%') {
            onText('%');
            ++i;
        } else if (c == '%' && i + 1 < format.size() && format[i + 1] == '{') {
            size_t close = format.find('}', i + 2);
            if (close == std::string::npos) {  // not a variable: copied as it stands
                onText(c);
                continue;
            }
            if (!onVariable(format.substr(i + 2, close - i - 2))) return false;
            i = close;
        } else if (c == '\\' && i + 1 < format.size()) {
            char n = format[i + 1];
            if (n == 'n') onText('\n');
            else if (n == 'r') onText('\r');
            else if (n == 't') onText('\t');
            else if (n == '\\') onText('\\');
            else {
                onText(c);
                continue;
            }
            ++i;
        } else {
            onText(c);
        }
    }
    return true;
}

}  // namespace

bool isHeaderName(const std::string& name) {
    static const char marks[] = "!#$%&'*+-.^_`|~";
    for (char c : name) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (c == '\0' || !std::strchr(marks, c))) return false;
    }
    return !name.empty();
}

std::vector<std::string> headerNamesIn(const std::string& format) {
    std::vector<std::string> found;
    walk(
        format,
        [&](const std::string& name) {
            if (isHeaderVariable(name)) found.push_back(name.substr(HEADER.size()));
            return true;
        },
        [](char) {});
    return found;
}

bool writeOutIsValid(const std::string& format, std::string* unknown) {
    return walk(
        format,
        [&](const std::string& name) {
            if (known(name)) return true;
            *unknown = name;
            return false;
        },
        [](char) {});
}

std::string renderWriteOut(const std::string& format, const CallFacts& facts) {
    std::string out;
    walk(
        format,
        [&](const std::string& name) {
            out += value(name, facts);
            return true;
        },
        [&](char c) { out += c; });
    return out;
}

}  // namespace cli
