// Standalone scripted peer: serves one named scenario on 127.0.0.1 so that a
// client built for another platform (a Windows build run under Wine, say) can
// be tested against the same situations as the in-process tests.
//
//   scripted_peer --list
//       one line per scenario: name, call, expected result, expected output
//       size, output file kept (1/0), idle limit in seconds (0 = the
//       default), upload bytes, the URL's scheme (http/https), the URL's
//       host, whether the peer is the call's proxy (1/0), the tool's words
//       for what the call asks about its output ({out} for its path; - for
//       none), the output's bytes before the call (- for no file), their
//       time in seconds (0: as written), the output's time afterwards (-1:
//       not looked at), about; separated by tabs
//   scripted_peer --body NAME
//       writes the expected output file contents of NAME to standard output
//   scripted_peer NAME|record|generate [--port N] [--record DIR] [--for SECONDS]
//                 [--certs DIR] [--cert server|other|expired|rogue|cn-only]
//       serves NAME ("record" answers 200 "ok" after reading the request,
//       "generate" answers GET /gen/SIZE/SEED with SIZE pattern bytes);
//       prints "port N" once listening; stops on SIGTERM or SIGINT or after
//       SECONDS (default 600) and then writes what connection i received to
//       DIR/conn-i.bin. A scenario that speaks TLS takes its certificate
//       from the --certs folder (tests/servers/make-certs.sh makes it);
//       --cert makes any script speak TLS with the certificate named.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "files.h"
#include "peer/peer.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

const char* callName(peer::Call c) {
    switch (c) {
    case peer::Call::Get: return "GET";
    case peer::Call::Head: return "HEAD";
    case peer::Call::PutLarge: return "PUT";
    }
    return "?";
}

int usage() {
    std::fprintf(stderr,
                 "usage: scripted_peer --list | --body NAME | NAME|record|generate "
                 "[--port N] [--record DIR] [--for SECONDS] [--certs DIR] [--cert NAME]\n");
    return 2;
}

int list() {
    for (const peer::Scenario& s : peer::scenarios()) {
        std::string words = peer::fileOptionWords(s, "{out}");
        std::printf("%s\t%s\t%d\t%zu\t%d\t%d\t%zu\t%s\t%s\t%d\t%s\t%s\t%lld\t%lld\t%s\n",
                    s.name.c_str(), callName(s.call), s.expected, s.body.size(),
                    s.outputExists ? 1 : 0, s.idleLimitSeconds, s.uploadBytes,
                    s.https ? "https" : "http", s.host.c_str(), s.proxy ? 1 : 0,
                    words.empty() ? "-" : words.c_str(),
                    s.before.empty() ? "-" : s.before.c_str(),
                    static_cast<long long>(s.beforeTime), static_cast<long long>(s.modified),
                    s.about.c_str());
    }
    return 0;
}

int body(const char* name) {
    const peer::Scenario* s = peer::findScenario(name);
    if (!s) return usage();
    return std::fwrite(s->body.data(), 1, s->body.size(), stdout) == s->body.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string first = argv[1];
    if (first == "--list") return list();
    if (first == "--body") return argc == 3 ? body(argv[2]) : usage();

    peer::Script script;
    int rcvbuf = 0;
    peer::Cert cert = peer::Cert::None;
    const peer::Scenario* scenario = nullptr;
    if (first == "record") {
        script = peer::recordAndAnswer();
    } else if (first == "generate") {
        script = {peer::readHead(), peer::generate(), peer::close()};
    } else if ((scenario = peer::findScenario(first))) {
        script = scenario->script;
        rcvbuf = scenario->rcvbuf;
        cert = scenario->cert;
    } else {
        std::fprintf(stderr, "unknown scenario %s (see --list)\n", first.c_str());
        return 2;
    }

    long port = 0;
    long seconds = 600;
    std::string recordDir;
    std::string certs;
    for (int i = 2; i < argc; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) return usage();
        if (opt == "--port") port = std::strtol(argv[++i], nullptr, 10);
        else if (opt == "--record") recordDir = argv[++i];
        else if (opt == "--for") seconds = std::strtol(argv[++i], nullptr, 10);
        else if (opt == "--certs") certs = argv[++i];
        else if (opt == "--cert") {
            if (!peer::certByName(argv[++i], &cert)) return usage();
        } else return usage();
    }
    if (port < 0 || port > 65535 || seconds <= 0) return usage();
    if (cert != peer::Cert::None && certs.empty()) {
        std::fprintf(stderr, "scripted_peer: %s speaks TLS: --certs DIR is needed\n", first.c_str());
        return 2;
    }

    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);

    peer::Peer p;
    if (scenario) peer::prepareFor(p, *scenario, certs);
    peer::useCert(p, certs, cert);  // --cert may name another
    std::string why;
    if (!peer::startPeer(p, script, static_cast<uint16_t>(port), rcvbuf, &why)) {
        std::fprintf(stderr, "scripted_peer: %s\n", why.c_str());
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(p.port));
    std::fflush(stdout);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer::stopPeer(p);

    if (!recordDir.empty()) {
        std::vector<std::string> got = peer::received(p);
        for (size_t i = 0; i < got.size(); ++i)
            e2e::writeFile(recordDir + "/conn-" + std::to_string(i) + ".bin", got[i]);
    }
    return 0;
}
