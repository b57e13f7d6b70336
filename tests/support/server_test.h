// Whole calls against a real server started for each test: Kind names the
// server (name, start, installed: null when always there); the test gets a
// scratch folder, a docroot in it and the running server. The folder is
// kept when the test failed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "files.h"
#include "servers.h"

namespace e2e {

template <class Kind>
class ServerTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        work = makeTempDir("server");
        docroot = work + "/docroot";
        makeDir(docroot);
        std::string why;
        const Kind& kind = this->GetParam();
        if (kind.installed && !kind.installed(why)) GTEST_SKIP() << why;
        ASSERT_TRUE(kind.start(server, docroot, work, why)) << why;
    }
    void TearDown() override {
        stopServer(server);
        if (!this->HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }

    Server server;
    std::string work, docroot;
};

}  // namespace e2e
