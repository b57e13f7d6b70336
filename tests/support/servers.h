// Real servers for the whole-call tests, run as child processes on
// 127.0.0.1: lighttpd with its WebDAV module and Apache with mod_dav, each on
// a docroot, and PHP's built-in server running the form-upload script. Every
// wait is bounded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct Server {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string log;  // the child's standard output and error
};

// Directory of the server configurations and scripts (tests/servers), as
// the build names it, unless QUODRA_SERVERS_DIR names another.
std::string serversDir();

// A port on 127.0.0.1 that nobody listened on a moment ago.
uint16_t freePort();
// Starts argv (found on PATH) with standard input from /dev/null and its
// standard output and error appended to log; its pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log);
// True once something accepts on 127.0.0.1:port, false when pid (if set)
// has exited first or ms have passed.
bool waitAccepting(uint16_t port, pid_t pid, int ms);

// lighttpd serving docroot with WebDAV; workdir takes its configuration
// and logs. False with a reason when it cannot be started.
bool startLighttpd(Server& s, const std::string& docroot,
                   const std::string& workdir, std::string& why);
// False with the reason when Apache or its WebDAV modules are not installed
// (package apache2), so that its tests can be skipped rather than failed.
bool apacheInstalled(std::string& why);
// The same lighttpd speaking TLS with the test certificate for localhost
// and 127.0.0.1 from certs (see certs.h).
bool startLighttpdTls(Server& s, const std::string& docroot,
                      const std::string& workdir, const std::string& certs,
                      std::string& why);
// The same lighttpd (over TLS when certs names the test certificates) with
// a request size limit of 64 KiB (servers/lighttpd-small-requests.conf.in).
bool startLighttpdSmallRequests(Server& s, const std::string& docroot,
                                const std::string& workdir, const std::string& certs,
                                std::string& why);
// Apache with mod_dav serving docroot, as one foreground process; workdir
// takes its configuration, logs and lock database. Run as root, it serves as
// www-data (nobody where that user is missing): docroot is handed to that
// user and workdir opened for it to pass through, so docroot must lie
// directly in workdir. A directory a test then makes itself in docroot stays
// root's: the server can read it but not change what is in it. False with a
// reason when it cannot be started.
bool startApache(Server& s, const std::string& docroot,
                 const std::string& workdir, std::string& why);
// PHP's built-in server with tests/servers as its document root, so the
// upload script answers at /upload.php; workdir takes its uploads and log.
bool startPhp(Server& s, const std::string& workdir, std::string& why);
// False with the reason when tinyproxy is not installed (package
// tinyproxy-bin), so that its tests can be skipped rather than failed.
bool tinyproxyInstalled(std::string& why);
// tinyproxy on 127.0.0.1 (servers/tinyproxy.conf.in), letting CONNECT
// through to connectPorts only; with a user it asks for Basic proxy
// credentials. workdir takes its configuration as NAME.conf and its log as
// NAME.log, so that several run side by side.
bool startTinyproxy(Server& s, const std::string& workdir, const std::string& name,
                    const std::vector<uint16_t>& connectPorts, const std::string& user,
                    const std::string& password, std::string& why);
// Terminates the child and reaps it (SIGKILL after a short wait).
void stopServer(Server& s);

// "http://127.0.0.1:PORT" + path.
std::string urlFor(uint16_t port, const std::string& path);
// "https://127.0.0.1:PORT" + path.
std::string secureUrlFor(uint16_t port, const std::string& path);

}  // namespace e2e
