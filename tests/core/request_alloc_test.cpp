// Every heap allocation made while a form upload is composed fails in turn:
// each failure is reported once, the field concerned stays empty, the rest
// of the request is still built, and nothing is left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request_fixture.h"

using RequestAllocTest = RequestModelTest;

namespace {

const char formType[] = "multipart/form-data, boundary=rAndOmSTufF";

// What one run of the composition left, before the record is destroyed.
struct Outcome {
    bool made = false;
    bool listed = false;  // the record was the head of the list
    std::string urn, request, headers, formheader, formfooter, contenttype;
    int64_t contentlength = -1;
};

std::string orNull(const char* text) { return text ? text : "(null)"; }

}  // namespace

TEST_F(RequestAllocTest, EachFailingAllocationIsReportedAndRecovered) {
    const std::string path = writeFile("a.txt", "hello");
    const std::string prologue = "--rAndOmSTufF\r\nContent-Disposition: form-data; "
                                 "name=\"uploadfile\"; filename=\"" + path +
                                 "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n";
    const std::string epilogue = "\r\n--rAndOmSTufF--\r\n";
    const int64_t full = static_cast<int64_t>(prologue.size()) + 5 + 19;
    const std::string callLine = "X-Call: 1\r\n";
    auto block = [](int64_t length, bool typed) {
        return standardBlock("server", length ? std::to_string(length) : "",
                             typed ? formType : "");
    };

    auto compose = [&]() {
        Outcome o;
        RequestInfo* before = liveHead();
        RequestInfo* req = createRequest("http://server:8080/up", METHOD_POST);
        addHeaders(req, callLine.c_str());
        if (req) req->infile = copyText(path.c_str(), "infile");
        makeFormEncoding(req);
        calculateContentLength(req);
        makeHeaders(req);
        if (req) {
            o.made = true;
            o.listed = liveHead() == req && req->next == before;
            o.urn = orNull(req->urn);
            o.request = orNull(req->request);
            o.headers = orNull(req->headers);
            o.formheader = orNull(req->formheader);
            o.formfooter = orNull(req->formfooter);
            o.contenttype = orNull(req->contenttype);
            o.contentlength = req->contentlength;
            EXPECT_EQ(destroyRequest(req), 0);
        }
        EXPECT_EQ(liveHead(), before);
        return o;
    };

    // The allocations in the order they happen, and what each failure leaves.
    Outcome whole;
    whole.made = whole.listed = true;
    whole.urn = "/up";
    whole.request = "POST /up HTTP/1.0\r\n";
    whole.headers = callLine + block(full, true);
    whole.formheader = prologue;
    whole.formfooter = epilogue;
    whole.contenttype = formType;
    whole.contentlength = full;

    std::vector<std::pair<std::string, Outcome>> expected;
    auto expect = [&](const char* box, auto change) {
        Outcome o = whole;
        change(o);
        expected.emplace_back(std::string("new failed: ") + box, o);
    };
    expect("host", [](Outcome& o) { o = Outcome(); });
    expect("RequestInfo", [](Outcome& o) { o = Outcome(); });
    // A path that could not be kept is not replaced by "/".
    expect("urn", [](Outcome& o) { o.urn = o.request = "(null)"; });
    expect("request", [](Outcome& o) { o.request = "(null)"; });
    expect("headers", [&](Outcome& o) { o.headers = block(full, true); });
    expect("infile", [&](Outcome& o) {
        o.formheader = o.formfooter = o.contenttype = "(null)";
        o.contentlength = 0;
        o.headers = callLine + block(0, false);
    });
    expect("formheader", [&](Outcome& o) {
        o.formheader = "(null)";
        o.contentlength = 5 + 19;
        o.headers = callLine + block(o.contentlength, true);
    });
    expect("formfooter", [&](Outcome& o) {
        o.formfooter = "(null)";
        o.contentlength = static_cast<int64_t>(prologue.size()) + 5;
        o.headers = callLine + block(o.contentlength, true);
    });
    expect("contenttype", [&](Outcome& o) {
        o.contenttype = "(null)";
        o.headers = callLine + block(full, false);
    });
    // makeHeaders' own text, then the grown block: either way the call line
    // stays as it was.
    expect("headers", [&](Outcome& o) { o.headers = callLine; });
    expect("headers", [&](Outcome& o) { o.headers = callLine; });

    size_t failures = 0;
    for (long k = 1;; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        fake::reset();
        long live = qallocLive();
        qallocResetCount();
        qallocFailAt(k);
        Outcome got = compose();
        qallocFailAt(0);
        EXPECT_EQ(qallocLive(), live) << "blocks left behind";
        if (qallocCount() < k) {  // ran through without reaching the k-th
            EXPECT_TRUE(fake::state().boxes.empty());
            EXPECT_EQ(got.headers, whole.headers);
            break;
        }
        ASSERT_LT(failures, expected.size()) << "more allocations than known";
        const auto& want = expected[failures++];
        ASSERT_EQ(fake::state().boxes.size(), 1u);
        const auto& box = fake::state().boxes[0];
        EXPECT_EQ(box.text, want.first);
        EXPECT_EQ(box.caption, "Quodra/2.0.0");
        EXPECT_EQ(box.type, 16u);
        EXPECT_EQ(box.owner, nullptr);
        const Outcome& w = want.second;
        EXPECT_EQ(got.made, w.made);
        EXPECT_EQ(got.listed, w.listed);
        EXPECT_EQ(got.urn, w.urn);
        EXPECT_EQ(got.request, w.request);
        EXPECT_EQ(got.headers, w.headers);
        EXPECT_EQ(got.formheader, w.formheader);
        EXPECT_EQ(got.formfooter, w.formfooter);
        EXPECT_EQ(got.contenttype, w.contenttype);
        EXPECT_EQ(got.contentlength, w.contentlength);
    }
    EXPECT_EQ(failures, expected.size());
}
