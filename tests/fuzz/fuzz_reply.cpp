// Fuzz target: reply capture fed arbitrary bytes, cut into arbitrary pieces.
//
// Input: a flags byte (bit 0: the request was HEAD; bit 1: the peer resets
// instead of closing; bits 2-4: k), k bytes of piece lengths (each value + 1,
// used in turn), then the reply's bytes.
//
// Oracle: the result and the stored bytes are those a plain reading of the
// reply gives (reference() below: the head's end, interim heads passed over,
// the Content-Length lines, bodiless replies), the same whether the reply
// arrives whole or in pieces; the output file is made exactly when a final
// head has come whole and well formed; never more than an announced length
// is stored; the result is one of the documented codes; nothing is leaked or
// left open.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/text.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "request/request.h"
#include "common/reply_head.h"
#include "transfer/transfer.h"

using namespace quodra;

namespace {

constexpr int RESET = 10054;

struct Outcome {
    int result;
    std::string body;
    bool made;  // the output file exists
    bool operator==(const Outcome& o) const {
        return result == o.result && body == o.body && made == o.made;
    }
};

// One reply capture: each piece comes with its own read event, then the
// peer closes in order (or resets), then the close event arrives if the
// exchange has not ended already.
Outcome capture(int method, const std::vector<std::string>& pieces, bool orderly) {
    static const std::string out = fuzz::scratchPath("out.bin");
    std::remove(out.c_str());
    fake::reset();
    long live = qallocLive();
    RequestInfo* req = createRequest("http://fuzz.test/x", method);
    FUZZ_CHECK(req != nullptr);
    req->sock = 100;
    req->outFile = copyText(out.c_str(), "outfile");
    req->state = State::SendHeaders;
    FUZZ_CHECK(enterNextState(req) == Entered::Receiving);

    auto& script = fake::state().recvScript;
    for (const std::string& p : pieces) {
        script.push_back(fake::bytes(p));
        script.push_back(fake::fail(10035));  // the next piece needs the next event
    }
    script.push_back(orderly ? fake::closed() : fake::fail(RESET));
    for (size_t events = 0; events <= pieces.size() && req->state == State::Receive; ++events)
        OnSocketRead(req);
    FUZZ_CHECK(req->state != State::Receive);
    // An ended exchange has closed its socket, and its close event finds no
    // record; one that saw the peer's close still has its close event.
    if (req->sock != plat::kInvalidSocket) OnSocketClose(req, orderly ? 0 : RESET);

    Outcome o{req->result, fuzz::readAll(out), std::ifstream(out).good()};
    FUZZ_CHECK(req->state == State::Closed);
    FUZZ_CHECK(fake::state().openOutputs == 0 && fake::state().openInputs == 0);
    destroyRequest(req);
    FUZZ_CHECK(qallocLive() == live);
    return o;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The value of one Content-Length line: false unless, white space aside,
// it is a non-empty run of digits. Large values stop at INT64_MAX.
bool lengthValue(std::string v, int64_t* n) {
    size_t a = v.find_first_not_of(" \t");
    size_t b = v.find_last_not_of(" \t");
    if (a == std::string::npos) return false;
    v = v.substr(a, b - a + 1);
    if (v.find_first_not_of("0123456789") != std::string::npos) return false;
    *n = 0;
    for (char c : v) *n = *n > (INT64_MAX - 9) / 10 ? INT64_MAX : *n * 10 + (c - '0');
    return true;
}

// The head's lines, split at LF, each without the CR before its LF; the
// lines after the status line up to the first one of nothing but CRs.
std::vector<std::string> headerLines(const std::string& head) {
    std::vector<std::string> lines;
    size_t at = head.find('\n');
    while (at != std::string::npos && at + 1 < head.size()) {
        size_t lf = head.find('\n', at + 1);
        std::string line = head.substr(at + 1, lf == std::string::npos ? lf : lf - at - 1);
        if (lf != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of('\r') == std::string::npos) break;
        lines.push_back(line);
        at = lf;
    }
    return lines;
}

// 1 and the length, 0 without a length line, -1 when malformed. A line
// starting with white space continues the line before it (a folded line:
// one space); a bare CR reads as a space.
int announced(const std::string& head, int64_t* length) {
    const std::string name = "content-length:";
    std::vector<std::string> lines = headerLines(head);
    int found = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, name.size(), name) != 0) continue;
        std::string value = lines[i].substr(name.size());
        while (i + 1 < lines.size() && (lines[i + 1][0] == ' ' || lines[i + 1][0] == '\t')) {
            const std::string& more = lines[++i];
            size_t from = more.find_first_not_of(" \t");
            value += " " + (from == std::string::npos ? std::string() : more.substr(from));
        }
        for (char& c : value)
            if (c == '\r') c = ' ';
        int64_t n;
        if (!lengthValue(value, &n)) return -1;
        if (found && n != *length) return -1;
        found = 1;
        *length = n;
    }
    return found;
}

// Where the head starting at from ends (one past its last byte): within one
// run of CR and LF bytes, at its fourth byte or its second LF.
size_t headEnd(const std::string& in, size_t from) {
    int run = 0, lfs = 0;
    for (size_t i = from; i < in.size(); ++i) {
        char c = in[i];
        if (c != '\r' && c != '\n') {
            run = lfs = 0;
            continue;
        }
        ++run;
        if (c == '\n') ++lfs;
        if (run == 4 || lfs == 2) return i + 1;
    }
    return std::string::npos;
}

Outcome reference(const std::string& in, bool head, bool orderly) {
    const int broken = orderly ? RESULT_ENDED_EARLY : RESET;
    size_t from = 0;
    for (;;) {
        size_t end = headEnd(in, from);
        // Every head, interim ones included, must end within the bound.
        if ((end == std::string::npos && in.size() >= REPLY_HEAD_LIMIT) ||
            (end != std::string::npos && end > REPLY_HEAD_LIMIT))
            return {RESULT_NO_OUTPUT, "", false};
        if (end == std::string::npos) return {broken, "", false};
        std::string text = lower(in.substr(from, end - from));
        int status = readReplyStatus(text.data(), static_cast<int>(text.size()));
        if (status >= 100 && status < 200) {
            from = end;
            continue;
        }
        int64_t length = -1;
        if (announced(text, &length) < 0) return {RESULT_MALFORMED_HEAD, "", false};
        if (head || status == 204 || status == 304 || length == 0) return {0, "", true};
        std::string rest = in.substr(end);
        if (length < 0) return {orderly ? 0 : RESET, rest, true};
        if (static_cast<int64_t>(rest.size()) >= length)
            return {0, rest.substr(0, static_cast<size_t>(length)), true};
        return {broken, rest, true};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t flags = size > 0 ? data[0] : 0;
    size_t at = size > 0 ? 1 : 0;
    std::vector<size_t> lengths;
    for (size_t k = (flags >> 2) & 7; k > 0 && at < size; --k) lengths.push_back(data[at++] + 1u);
    const std::string reply(reinterpret_cast<const char*>(data) + at, size - at);
    const int method = (flags & 1) ? METHOD_HEAD : METHOD_GET;
    const bool orderly = !(flags & 2);

    std::vector<std::string> pieces;
    for (size_t pos = 0, i = 0; pos < reply.size(); ++i) {
        size_t n = lengths.empty() ? reply.size() : lengths[i % lengths.size()];
        pieces.push_back(reply.substr(pos, n));
        pos += n;
    }
    std::vector<std::string> whole;
    if (!reply.empty()) whole.push_back(reply);

    Outcome want = reference(reply, method == METHOD_HEAD, orderly);
    Outcome got = capture(method, whole, orderly);
    FUZZ_CHECK(got.result == 0 || got.result == RESULT_NO_OUTPUT ||
               got.result == RESULT_ENDED_EARLY || got.result == RESULT_MALFORMED_HEAD ||
               got.result == RESET);
    FUZZ_CHECK(got == want);
    FUZZ_CHECK(capture(method, pieces, orderly) == want);
    return 0;
}
