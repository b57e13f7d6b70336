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
#include "write_out.h"

using namespace cli;

namespace {

void complain(const std::string& what) { std::fprintf(stderr, "quodra: %s\n", what.c_str()); }

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
    if (inv.maxIdle >= 0 && httpSetOption(QUODRA_OPTION_IDLE_LIMIT, inv.maxIdle) < 0) {
        complain("--max-idle " + std::to_string(inv.maxIdle) + " is out of the library's range");
        return exitUsage;
    }
    if (inv.maxTime >= 0 && httpSetOption(QUODRA_OPTION_TIME_LIMIT, inv.maxTime) < 0) {
        complain("--max-time " + std::to_string(inv.maxTime) + " is out of the library's range");
        return exitUsage;
    }
    if (inv.insecure) httpSetOption(QUODRA_OPTION_VERIFY_CERTIFICATES, 0);

    Scratch scratch;
    std::string why;
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
                      progressTitle(method, inv.url, input, fromStandardInput));

    BodyStream stream;
    if (delivery.stream && !stream.start(delivery.libraryPath, &why)) {
        complain("the reply cannot be passed on: " + why);
        return exitCannotStore;
    }
    CallResult r = runCall(inv, input, delivery.libraryPath,
                           [&](const Counts& c) { progress.update(c); });
    progress.clear();
    // The request as the library composed and sent it, credentials hidden.
    if (inv.verbose) {
        std::fputs(prefixedLines(r.request, "> ").c_str(), stderr);
        std::fputs(prefixedLines(r.head, "< ").c_str(), stderr);
    }

    // The head and the body go out in the order they are asked for: the
    // head to -D, then the head that -i puts before the body, then the body.
    std::string ownFailure;
    // The call is over and its end of the FIFO closed: what it wrote last
    // is passed on before anything is counted or said.
    if (delivery.stream && !stream.finish(&why)) ownFailure = why;
    std::string head = r.head;
    if (!inv.dumpHeader.empty() && !head.empty()) {
        bool ok = inv.dumpHeader == "-" ? writeAll(1, head, &why)
                                        : writeFile(inv.dumpHeader, head, "", &why);
        if (!ok && ownFailure.empty()) ownFailure = "the head cannot be written: " + (inv.dumpHeader == "-" ? "standard output: " + why : why);
    }
    // A file of the user's that the library never opened keeps its old
    // size; without a head no reply was stored in it.
    int64_t received = delivery.stream                    ? stream.passed()
                       : delivery.direct && head.empty() ? -1
                                                         : regularFileSize(delivery.libraryPath);
    bool bodyStored = received >= 0;
    std::string headBefore = inv.include ? head : "";
    // A streamed body was passed on while it came.
    if (!delivery.stream && delivery.sink == Delivery::Sink::StandardOutput) {
        if (!writeHeadAndBody(1, headBefore, bodyStored ? delivery.libraryPath : "", &why) &&
            ownFailure.empty())
            ownFailure = "standard output: " + why;
    } else if (delivery.sink == Delivery::Sink::File && !delivery.direct &&
               (bodyStored || !headBefore.empty())) {
        if (!writeFile(delivery.target, headBefore, bodyStored ? delivery.libraryPath : "", &why) &&
            ownFailure.empty())
            ownFailure = why;
    }

    progress.summary(statusText(head), received < 0 ? 0 : received, r.seconds);

    int status = exitStatusFor(r.result, r.error);
    std::string message;
    if (r.result != QUODRA_OK) {
        message = describeResult(r.result, r.error, r.why, inv.maxIdle, inv.maxTime);
    } else if (!ownFailure.empty()) {
        status = exitCannotStore;
    } else if (inv.fail && r.status >= 400) {
        status = exitHttpError;
        message = "the server answered " + statusText(head);
    }
    std::string what = std::string(inv.command->name) + " " + inv.url + ": ";
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
        if (!writeAll(1, renderWriteOut(inv.writeOut, facts), &why)) {
            complain("--write-out: standard output: " + why);
            if (status == 0) status = exitCannotStore;
        }
    }
    return status;
}
