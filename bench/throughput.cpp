// Throughput of whole calls over loopback: a GET of a large body and a PUT
// of a large file, against a minimal in-process peer. Prints MB/s; asserts
// nothing about speed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "quodra.h"

namespace {

int listenLoopback(int* port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s, 4);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    *port = ntohs(a.sin_port);
    return s;
}

// Serves one exchange: reads the request (up to its blank line plus any
// announced body), then answers with a body of bodySize bytes.
void serveOne(int ls, long long bodySize) {
    int c = accept(ls, nullptr, nullptr);
    std::string head;
    char buf[65536];
    long long want = -1, got = 0;
    for (;;) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (want >= 0) {
            got += n;
        } else {
            head.append(buf, n);
            size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            size_t cl = head.find("Content-Length: ");
            want = cl == std::string::npos ? 0 : std::atoll(head.c_str() + cl + 16);
            got = static_cast<long long>(head.size() - end - 4);
        }
        if (got >= want) break;
    }
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " +
                        std::to_string(bodySize) + "\r\n\r\n";
    send(c, reply.data(), reply.size(), 0);
    std::vector<char> chunk(1 << 16, 'q');
    for (long long left = bodySize; left > 0;) {
        ssize_t n = send(c, chunk.data(), left < (long long)chunk.size() ? left : chunk.size(), 0);
        if (n <= 0) break;
        left -= n;
    }
    close(c);
}

double seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    long long mb = argc > 1 ? std::atoll(argv[1]) : 256;
    long long size = mb << 20;
    char dir[] = "/tmp/quodra-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string out = std::string(dir) + "/out", in = std::string(dir) + "/in";

    int port;
    int ls = listenLoopback(&port);
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big";

    std::thread peer(serveOne, ls, size);
    auto t0 = std::chrono::steady_clock::now();
    int r = httpGet(url.c_str(), out.c_str(), 0);
    double t = seconds(t0);
    peer.join();
    std::printf("GET %lld MiB: result %d, %.2f s, %.1f MB/s\n", mb, r, t, size / t / 1e6);

    FILE* f = std::fopen(in.c_str(), "wb");
    std::vector<char> chunk(1 << 20, 'p');
    for (long long i = 0; i < mb; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
    std::fclose(f);
    std::thread peer2(serveOne, ls, 0);
    t0 = std::chrono::steady_clock::now();
    r = davPut(url.c_str(), in.c_str(), out.c_str(), 0);
    t = seconds(t0);
    peer2.join();
    std::printf("PUT %lld MiB: result %d, %.2f s, %.1f MB/s\n", mb, r, t, size / t / 1e6);

    close(ls);
    std::remove(out.c_str());
    std::remove(in.c_str());
    rmdir(dir);
    return 0;
}
