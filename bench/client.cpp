// One in-process run of the benchmark: COUNT small GETs on each of THREADS
// threads, each body written to the thread's own file, by one way of doing
// them chosen when this file is built (so that each program holds only its
// own library and its peak memory is its own):
//   BENCH_QUODRA   the library's httpGet; with "kept", its connections kept
//                  (QUODRA_OPTION_KEEP_ALIVE)
//   BENCH_LIBCURL  libcurl with a fresh handle for each request; with
//                  "kept", one handle per thread used for all its requests
//   BENCH_RAW      a blocking socket and nothing else: the floor
// Prints "wall-seconds cpu-seconds failures" for the loop alone, and exits
// non-zero when any request went wrong. An https URL is checked against
// SSL_CERT_FILE's CA by either library.
//
//   bench_client_KIND URL OUT COUNT THREADS [kept]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(BENCH_QUODRA)
#include "quodra.h"
#elif defined(BENCH_LIBCURL)
#include <curl/curl.h>
#endif

namespace {

constexpr long long kSmall = 1024;  // bytes of the file fetched

double cpuSeconds() {
    rusage u;
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool kept = false;  // connections are kept between requests

#if defined(BENCH_QUODRA)

void setUp() {
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, kept ? 1 : 0);
}

bool get(const std::string& url, const std::string& out) {
    return httpGet(url.c_str(), out.c_str(), 0) == 0 && httpLastStatus() == 200;
}

#elif defined(BENCH_LIBCURL)

void setUp() { curl_global_init(CURL_GLOBAL_ALL); }

bool get(const std::string& url, const std::string& out) {
    // Kept: the thread's one handle, which keeps its connection.
    thread_local CURL* reused = nullptr;
    FILE* f = std::fopen(out.c_str(), "wb");
    if (!f) return false;
    CURL* h = kept && reused ? reused : curl_easy_init();
    bool ok = false;
    if (h) {
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_WRITEDATA, f);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        if (const char* ca = std::getenv("SSL_CERT_FILE")) curl_easy_setopt(h, CURLOPT_CAINFO, ca);
        long code = 0;
        ok = curl_easy_perform(h) == CURLE_OK &&
             curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 200;
        if (kept) reused = h;
        else curl_easy_cleanup(h);
    }
    return std::fclose(f) == 0 && ok;
}

#elif defined(BENCH_RAW)

void setUp() {}

// The same exchange with nothing between the program and its socket:
// connect, the request in one send, receive until the announced length,
// the body written to its file.
bool get(const std::string& url, const std::string& out) {
    size_t host = url.find("//") + 2;
    int port = std::atoi(url.c_str() + url.find(':', host) + 1);
    std::string path = url.substr(url.find('/', host));
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: raw\r\n\r\n";
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::send(s, req.data(), req.size(), 0) == static_cast<ssize_t>(req.size());
    char buf[65536];
    size_t have = 0;
    bool headSeen = false;
    long long left = -1;
    int fd = -1;
    while (ok) {
        ssize_t n = ::recv(s, buf + have, sizeof buf - have, 0);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
        size_t from = 0;
        if (!headSeen) {
            char* end = static_cast<char*>(memmem(buf, have, "\r\n\r\n", 4));
            if (!end) {
                ok = have < sizeof buf;
                continue;
            }
            headSeen = true;
            from = static_cast<size_t>(end - buf) + 4;
            char* cl = static_cast<char*>(memmem(buf, from, "Content-Length:", 15));
            left = cl ? std::atoll(cl + 15) : -1;
            fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ok = have > 12 && std::strncmp(buf + 9, "200", 3) == 0 && fd >= 0;
        }
        if (ok && have > from) {
            ok = ::write(fd, buf + from, have - from) == static_cast<ssize_t>(have - from);
            left -= static_cast<long long>(have - from);
        }
        have = 0;
        if (left <= 0) break;
    }
    ok = ok && left == 0;
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    ::close(s);
    return ok;
}

#else
#error "build with BENCH_QUODRA, BENCH_LIBCURL or BENCH_RAW"
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && !(argc == 6 && std::strcmp(argv[5], "kept") == 0)) {
        std::fprintf(stderr, "usage: %s URL OUT COUNT THREADS [kept]\n", argv[0]);
        return 2;
    }
    kept = argc == 6;
    const std::string url = argv[1], out = argv[2];
    const int count = std::atoi(argv[3]), threads = std::atoi(argv[4]);
    setUp();
    std::atomic<int> failures{0};
    auto work = [&](int t) {
        std::string mine = out + "." + std::to_string(t);
        for (int i = 0; i < count; ++i)
            if (!get(url, mine)) ++failures;
        struct stat st;
        if (::stat(mine.c_str(), &st) != 0 || st.st_size != kSmall) ++failures;
    };
    double cpu = cpuSeconds();
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (std::thread& th : pool) th.join();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.9f %.9f %d\n", wall, cpuSeconds() - cpu, failures.load());
    return failures ? 1 : 0;
}
