// quodra: one HTTP or WebDAV exchange from the shell, through the library's
// public calls.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "call.h"
#include "failures.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "quodra.h"
#include "userinfo.h"
#include "write_out.h"

using namespace cli;

namespace {

void complain(const std::string& what) { std::fprintf(stderr, "quodra: %s\n", what.c_str()); }

// The path the request line carries, read as the library reads the URL:
// after the host, from the first '/'; "/" when there is none.
std::string requestPath(const std::string& url) {
    size_t at = url.find("//");
    size_t host = at == std::string::npos ? 0 : at + 2;
    size_t slash = url.find('/', host);
    return slash == std::string::npos ? "/" : url.substr(slash);
}

// The head's lines, each prefixed, for --verbose.
std::string prefixedLines(const std::string& head, const char* prefix) {
    std::string out;
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find('\n', start);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out += prefix + line + "\n";
        start = end + 1;
    }
    return out;
}

// "200 OK" from the head's status line; empty without a head.
std::string statusText(const std::string& head) {
    std::string first = head.substr(0, head.find_first_of("\r\n"));
    size_t space = first.find(' ');
    return space == std::string::npos ? "" : first.substr(space + 1);
}

std::string headerValue(const std::string& head, const std::string& name) {
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find('\n', start);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(start, end - start);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            size_t v = line.find_first_not_of(" \t", name.size() + 1);
            size_t e = line.find_last_not_of(" \t\r");
            return v == std::string::npos || e < v ? "" : line.substr(v, e - v + 1);
        }
        start = end + 1;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe on standard output is reported (exit 23) like any
    // other failed write instead of killing the tool halfway.
    ::signal(SIGPIPE, SIG_IGN);
    Parsed parsed = parseCommandLine(argc, argv);
    if (!parsed.run) return parsed.exitStatus;
    const Invocation& inv = parsed.inv;

    // Every failure gets one line from the tool, so the library's own
    // lines (its message boxes, on POSIX) would say it twice.
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    std::string why;
    if (inv.maxIdle >= 0 && httpSetOption(QUODRA_OPTION_IDLE_LIMIT, inv.maxIdle) < 0) {
        complain("--max-idle " + std::to_string(inv.maxIdle) + " is out of the library's range");
        return exitUsage;
    }
    if (inv.insecure) httpSetOption(QUODRA_OPTION_VERIFY_CERTIFICATES, 0);
    if (inv.maxRedirs >= 0) httpSetOption(QUODRA_OPTION_MAX_REDIRECTS, inv.maxRedirs);
    // Checked here, set again on the thread that makes the call.
    if (!inv.headers.empty() && httpSetOptionText(QUODRA_OPTION_HEADERS, inv.headers.c_str()) != 0) {
        complain("-H: the library refuses these header lines (each is 'Name: value' with a "
                 "token for its name and no control byte in its value; Host, Content-Length, "
                 "Connection and Transfer-Encoding are its own)");
        return exitUsage;
    }
    // The URL the tool prints: never with a user or password.
    const std::string shown = withoutUserinfo(inv.url);
    Invocation call = inv;
    if (inv.userGiven) {
        size_t colon = inv.user.find(':');
        std::string user = inv.user.substr(0, colon), password;
        if (colon != std::string::npos) {
            password = inv.user.substr(colon + 1);
        } else if (!askPassword("Enter password for user '" + user + "': ", &password, &why)) {
            complain("-u " + user + ": " + why);
            return exitUsage;
        }
        call.url = withUserinfo(inv.url, user, password);
    }

    Scratch scratch;
    bool fromStandardInput = inv.file == "-";
    std::string input = inv.file;
    if (fromStandardInput) {
        input = scratch.file("input", &why);
        if (input.empty() || !spoolStandardInput(input, &why)) {
            complain("the body cannot be read: " + why);
            return exitCannotRead;
        }
    }
    Delivery delivery = planDelivery(inv);
    if (delivery.libraryPath.empty()) {
        delivery.libraryPath = scratch.file("body", &why);
        if (delivery.libraryPath.empty()) {
            complain("the reply cannot be stored: " + why);
            return exitCannotStore;
        }
    }

    const char* method = inv.command->method;
    bool replyOnTerminal = delivery.sink == Delivery::Sink::StandardOutput && ::isatty(1);
    Progress progress(!inv.silent && ::isatty(2) && !replyOnTerminal,
                      progressTitle(method, shown, input, fromStandardInput), input,
                      delivery.libraryPath);
    if (inv.verbose)
        std::fprintf(stderr, "> %s %s HTTP/1.0\n", method, requestPath(inv.url).c_str());

    BodyStream stream(delivery.libraryPath);
    CallResult r = runCall(call, input, delivery.libraryPath, [&] {
        progress.tick();
        if (delivery.stream) stream.pump();
    });
    progress.clear();
    if (inv.verbose) std::fputs(prefixedLines(r.head, "< ").c_str(), stderr);

    // The head and the body go out in the order they are asked for: the
    // head to -D, then the head that -i puts before the body, then the body.
    std::string ownFailure;
    std::string head = r.head;
    if (!inv.dumpHeader.empty() && !head.empty()) {
        bool ok = inv.dumpHeader == "-" ? writeAll(1, head, &why)
                                        : writeFile(inv.dumpHeader, head, "", &why);
        if (!ok) ownFailure = "the head cannot be written: " + (inv.dumpHeader == "-" ? "standard output: " + why : why);
    }
    // A file of the user's that the library never opened keeps its old
    // size; without a head no reply was stored in it.
    int64_t received = delivery.direct && head.empty() ? -1 : regularFileSize(delivery.libraryPath);
    bool bodyStored = received >= 0;
    std::string headBefore = inv.include ? head : "";
    if (delivery.stream) {
        if (!stream.finish(&why) && ownFailure.empty()) ownFailure = why;
    } else if (delivery.sink == Delivery::Sink::StandardOutput) {
        if (!writeHeadAndBody(1, headBefore, bodyStored ? delivery.libraryPath : "", &why) &&
            ownFailure.empty())
            ownFailure = "standard output: " + why;
    } else if (delivery.sink == Delivery::Sink::File && !delivery.direct &&
               (bodyStored || !headBefore.empty())) {
        if (!writeFile(delivery.target, headBefore, bodyStored ? delivery.libraryPath : "", &why) &&
            ownFailure.empty())
            ownFailure = why;
    }

    progress.summary(statusText(head), r.result == QUODRA_OK, received < 0 ? 0 : received,
                     r.seconds);

    int status = exitStatusFor(r.result, r.error);
    std::string message;
    if (r.result != QUODRA_OK) {
        message = describeResult(r.result, r.error, input, delivery.libraryPath, inv.maxIdle);
    } else if (!ownFailure.empty()) {
        status = exitCannotStore;
    } else if (inv.fail && r.status >= 400) {
        status = exitHttpError;
        message = "the server answered " + statusText(head);
    }
    std::string what = std::string(inv.command->name) + " " + shown + ": ";
    if (!message.empty()) complain(what + message);
    if (!ownFailure.empty()) complain(what + ownFailure);
    if (message.empty()) message = ownFailure;

    if (inv.writeOutGiven) {
        CallFacts facts;
        facts.status = r.status;
        facts.sizeDownload = received < 0 ? 0 : received;
        facts.sizeHeader = static_cast<int64_t>(head.size());
        facts.seconds = r.seconds;
        facts.contentType = headerValue(head, "Content-Type");
        facts.exitStatus = status;
        facts.errorMessage = message;
        facts.result = r.result;
        // The library says where the reply came from, not how many
        // redirects led there: 1 stands for any number of them.
        facts.urlEffective = r.url.empty() ? shown : r.url;
        facts.redirects = !r.url.empty() && r.url != shown ? 1 : 0;
        if (!writeAll(1, renderWriteOut(inv.writeOut, facts), &why)) {
            complain("--write-out: standard output: " + why);
            if (status == 0) status = exitCannotStore;
        }
    }
    return status;
}
