#include "certs.h"

#include <cstdlib>
#include <mutex>

#include "files.h"
#include "servers.h"

namespace e2e {

namespace {

std::string made;    // the folder, once made
std::string reason;  // why it could not be made

void removeCerts() { removeTree(made); }

void make() {
    std::string dir = makeTempDir("certs");
    std::string log = dir + "/make-certs.log";
    std::string command = "bash '" + serversDir() + "/make-certs.sh' '" + dir + "' > '" + log + "' 2>&1";
    if (std::system(command.c_str()) != 0) {
        reason = "make-certs.sh failed: " + fileBytes(log);
        removeTree(dir);
        return;
    }
    setenv("SSL_CERT_FILE", (dir + "/ca.pem").c_str(), 1);
    made = dir;
    std::atexit(removeCerts);
}

}  // namespace

const std::string& testCerts(std::string* why) {
    static std::once_flag once;
    std::call_once(once, make);
    if (why) *why = reason;
    return made;
}

}  // namespace e2e
