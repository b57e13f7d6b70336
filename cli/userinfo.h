// The user and password of a URL as the tool handles them: put into the URL
// for the library (-u), asked for on the terminal, and kept out of every
// URL the tool prints.
#pragma once

#include <string>

namespace cli {

// url with its userinfo left out, read as the library reads a URL: the
// authority follows the first "//" that comes before any '/', '?' or '#'
// (or starts the text), runs to the first of those, and its userinfo is
// everything before its last '@'.
std::string withoutUserinfo(const std::string& url);

// Every byte of text but RFC 3986's unreserved ones (letters, digits and
// "-._~") percent-encoded, as a URL's user or password is written.
std::string percentEncoded(const std::string& text);

// url with userinfo (written as a URL writes it) in place of any it had.
std::string withUserinfo(const std::string& url, const std::string& userinfo);

// Asks for a password on the terminal (/dev/tty), without echo; false, with
// the reason, when there is no terminal to ask on or reading failed.
bool askPassword(const std::string& prompt, std::string* password, std::string* why);

}  // namespace cli
