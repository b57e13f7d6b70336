#include "servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <thread>
#include <vector>

#include "files.h"

extern char** environ;

namespace e2e {
namespace {

constexpr int START_WAIT_MS = 10000;
// A test server has nothing to save: it gets a moment to exit, then SIGKILL
// (lighttpd may take a second to notice SIGTERM).
constexpr int STOP_WAIT_MS = 300;
constexpr int START_TRIES = 3;  // a free port may be taken before the child binds it

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}


std::string replaceAll(std::string text, const std::string& from,
                       const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string lighttpdModules() {
    if (const char* env = std::getenv("QUODRA_LIGHTTPD_MODULES")) return env;
    for (const char* dir : {"/usr/lib/lighttpd", "/usr/lib64/lighttpd",
                            "/usr/local/lib/lighttpd",
                            "/usr/lib/x86_64-linux-gnu/lighttpd"})
        if (fileExists(std::string(dir) + "/mod_webdav.so")) return dir;
    return "";
}

// The first of programs found on PATH or in the usual sbin directories
// (which a non-root PATH often lacks), or "" when none is.
std::string findProgram(std::initializer_list<const char*> programs) {
    for (const char* p : programs)
        if (onPath(p)) return p;
    for (const char* p : programs)
        for (const char* dir : {"/usr/sbin", "/usr/local/sbin", "/sbin"}) {
            std::string candidate = std::string(dir) + "/" + p;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
    return "";
}

// QUODRA_APACHE names the program; otherwise apache2 (Debian) or httpd.
std::string apacheBinary() {
    if (const char* env = std::getenv("QUODRA_APACHE"))
        return access(env, X_OK) == 0 || onPath(env) ? env : "";
    return findProgram({"apache2", "httpd"});
}

std::string apacheModules() {
    if (const char* env = std::getenv("QUODRA_APACHE_MODULES")) return env;
    for (const char* dir : {"/usr/lib/apache2/modules", "/usr/lib64/httpd/modules",
                            "/usr/lib/httpd/modules", "/usr/libexec/apache2"})
        if (fileExists(std::string(dir) + "/mod_dav_fs.so")) return dir;
    return "";
}

// Starts argv (with @PORT@ filled in) on fresh ports until one accepts.
bool startOnFreePort(Server& s, const std::vector<std::string>& argvTemplate,
                     const std::string& workdir, const std::string& name,
                     std::string& why,
                     const std::string& configTemplate = "",
                     const std::string& configPath = "") {
    s.log = workdir + "/" + name + ".log";
    for (int attempt = 0; attempt < START_TRIES; ++attempt) {
        uint16_t port = freePort();
        std::string portText = std::to_string(port);
        if (!configPath.empty())
            writeFile(configPath, replaceAll(configTemplate, "@PORT@", portText));
        std::vector<std::string> argv;
        for (const std::string& a : argvTemplate)
            argv.push_back(replaceAll(a, "@PORT@", portText));
        pid_t pid = spawn(argv, s.log);
        if (pid < 0) {
            why = "cannot run " + argv[0];
            return false;
        }
        if (waitAccepting(port, pid, START_WAIT_MS)) {
            s.pid = pid;
            s.port = port;
            return true;
        }
        Server failed;
        failed.pid = pid;
        stopServer(failed);
    }
    why = name + " did not start; see " + s.log + ":\n" + fileBytes(s.log);
    return false;
}

// lighttpd from the WebDAV template, with the TLS template after it when
// certs names the test certificates, and the template named extra (a file
// of serversDir()) after that when one is named.
bool startLighttpdWith(Server& s, const std::string& docroot, const std::string& workdir,
                       const std::string& certs, std::string& why,
                       const std::string& extra = "") {
    if (!onPath("lighttpd")) {
        why = "lighttpd is not installed (packages lighttpd, lighttpd-mod-webdav)";
        return false;
    }
    std::string modules = lighttpdModules();
    if (modules.empty()) {
        why = "mod_webdav.so not found (package lighttpd-mod-webdav)";
        return false;
    }
    if (!certs.empty() && !fileExists(modules + "/mod_openssl.so")) {
        why = "mod_openssl.so not found (package lighttpd-mod-openssl)";
        return false;
    }
    std::string tmpl, tls, more;
    if (!readFile(serversDir() + "/lighttpd-webdav.conf.in", tmpl) ||
        (!certs.empty() && !readFile(serversDir() + "/lighttpd-tls.conf.in", tls)) ||
        (!extra.empty() && !readFile(serversDir() + "/" + extra, more))) {
        why = "cannot read the lighttpd templates in " + serversDir();
        return false;
    }
    tmpl += tls + more;
    tmpl = replaceAll(tmpl, "@DOCROOT@", docroot);
    tmpl = replaceAll(tmpl, "@LOGDIR@", workdir);
    tmpl = replaceAll(tmpl, "@CERTS@", certs);
    std::string name = certs.empty() ? "lighttpd" : "lighttpd-tls";
    std::string conf = workdir + "/" + name + ".conf";
    return startOnFreePort(s, {"lighttpd", "-D", "-m", modules, "-f", conf},
                           workdir, name, why, tmpl, conf);
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::string& log) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

bool startLighttpd(Server& s, const std::string& docroot,
                   const std::string& workdir, std::string& why) {
    return startLighttpdWith(s, docroot, workdir, "", why);
}

bool startLighttpdSmallRequests(Server& s, const std::string& docroot,
                                const std::string& workdir, const std::string& certs,
                                std::string& why) {
    return startLighttpdWith(s, docroot, workdir, certs, why,
                             "lighttpd-small-requests.conf.in");
}

bool startLighttpdTls(Server& s, const std::string& docroot,
                      const std::string& workdir, const std::string& certs,
                      std::string& why) {
    if (certs.empty()) {
        why = "no test certificates";
        return false;
    }
    return startLighttpdWith(s, docroot, workdir, certs, why);
}

std::string serversDir() {
    if (const char* env = std::getenv("QUODRA_SERVERS_DIR")) return env;
    return QUODRA_TEST_SERVERS_DIR;
}

uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

bool waitAccepting(uint16_t port, pid_t pid, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) return false;
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}


bool apacheInstalled(std::string& why) {
    if (apacheBinary().empty()) {
        why = "Apache is not installed (package apache2)";
        return false;
    }
    if (apacheModules().empty()) {
        why = "Apache's mod_dav_fs.so not found (package apache2)";
        return false;
    }
    return true;
}

bool startApache(Server& s, const std::string& docroot,
                 const std::string& workdir, std::string& why) {
    if (!apacheInstalled(why)) return false;
    std::string tmpl;
    if (!readFile(serversDir() + "/apache-dav.conf.in", tmpl)) {
        why = "cannot read " + serversDir() + "/apache-dav.conf.in";
        return false;
    }
    std::string lockdir = workdir + "/apache-lock";
    makeDir(lockdir);
    // Apache refuses to serve as root; it switches to the configured user
    // once it has bound its port, and that user must write the docroot and
    // the lock database. As any other user it stays who it is.
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
        const passwd* pw = getpwnam("www-data");
        if (!pw) pw = getpwnam("nobody");
        if (!pw) {
            why = "no www-data or nobody user for Apache to serve as";
            return false;
        }
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        if (chown(docroot.c_str(), uid, gid) != 0 ||
            chown(lockdir.c_str(), uid, gid) != 0 ||
            chmod(workdir.c_str(), 0711) != 0) {
            why = "cannot hand " + docroot + " to the user Apache serves as";
            return false;
        }
    }
    tmpl = replaceAll(tmpl, "@DOCROOT@", docroot);
    tmpl = replaceAll(tmpl, "@WORKDIR@", workdir);
    tmpl = replaceAll(tmpl, "@LOCKDIR@", lockdir);
    tmpl = replaceAll(tmpl, "@MODULES@", apacheModules());
    tmpl = replaceAll(tmpl, "@USER@", "#" + std::to_string(uid));
    tmpl = replaceAll(tmpl, "@GROUP@", "#" + std::to_string(gid));
    std::string conf = workdir + "/apache.conf";
    // -X: one process and no children, so that stopping it leaves nothing.
    bool up = startOnFreePort(s, {apacheBinary(), "-X", "-f", conf}, workdir,
                              "apache", why, tmpl, conf);
    std::string errors;
    if (!up && readFile(workdir + "/apache-error.log", errors))
        why += "\napache-error.log:\n" + errors;
    return up;
}

bool startPhp(Server& s, const std::string& workdir, std::string& why) {
    if (!onPath("php")) {
        why = "php is not installed (package php-cli)";
        return false;
    }
    std::string uploads = workdir + "/php-uploads";
    makeDir(uploads);
    return startOnFreePort(
        s,
        {"php", "-n", "-d", "file_uploads=On", "-d", "upload_max_filesize=64M",
         "-d", "post_max_size=64M", "-d", "upload_tmp_dir=" + uploads, "-S",
         "127.0.0.1:@PORT@", "-t", serversDir()},
        workdir, "php", why);
}

bool tinyproxyInstalled(std::string& why) {
    if (findProgram({"tinyproxy"}).empty()) {
        why = "tinyproxy is not installed (package tinyproxy-bin)";
        return false;
    }
    return true;
}

bool startTinyproxy(Server& s, const std::string& workdir, const std::string& name,
                    const std::vector<uint16_t>& connectPorts, const std::string& user,
                    const std::string& password, std::string& why) {
    if (!tinyproxyInstalled(why)) return false;
    std::string tmpl;
    if (!readFile(serversDir() + "/tinyproxy.conf.in", tmpl)) {
        why = "cannot read " + serversDir() + "/tinyproxy.conf.in";
        return false;
    }
    std::string ports;
    for (uint16_t port : connectPorts) ports += "ConnectPort " + std::to_string(port) + "\n";
    tmpl = replaceAll(tmpl, "@CONNECT_PORTS@", ports);
    tmpl = replaceAll(tmpl, "@AUTH@", user.empty() ? "" : "BasicAuth " + user + " " + password);
    std::string conf = workdir + "/" + name + ".conf";
    return startOnFreePort(s, {findProgram({"tinyproxy"}), "-d", "-c", conf}, workdir, name, why,
                           tmpl, conf);
}

void stopServer(Server& s) {
    if (s.pid <= 0) return;
    kill(s.pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(STOP_WAIT_MS);
    bool reaped = false;
    while (!reaped && std::chrono::steady_clock::now() < deadline) {
        pid_t r = waitpid(s.pid, nullptr, WNOHANG);
        reaped = r == s.pid || r < 0;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
    }
    s.pid = -1;
}

std::string urlFor(uint16_t port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string secureUrlFor(uint16_t port, const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace e2e
