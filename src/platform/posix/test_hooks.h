// Hooks through which the backend's tests watch what would otherwise go to
// the terminal, or reach paths the loopback would not take. Not part of the
// library's interface (not exported).
#pragma once

#include <string>
#include <vector>

namespace plat {
namespace posix {
namespace hooks {

// While set, each message box is appended to *sink as "caption: text"
// instead of being printed. nullptr prints again.
void captureMessageBoxes(std::vector<std::string>* sink);

// While set, the activity display writes into *sink, as if standard error
// were a terminal. nullptr goes back to standard error.
void captureDisplay(std::string* sink);

// While on, sendFile treats every peer as one on another machine, so that
// tests on the loopback take the path a remote peer gets.
void treatPeersAsRemote(bool on);

// The files the first secure socket opens instead of libssl.so.3 and
// libcrypto.so.3 (nullptr: those), so that a test can show what a process
// without them gets. Once OpenSSL has been loaded it stays, and the names no
// longer matter: a test that needs them runs in a process of its own.
void openSslFiles(const char* ssl, const char* crypto);

}  // namespace hooks
}  // namespace posix
}  // namespace plat
