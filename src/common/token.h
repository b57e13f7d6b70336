// The pieces of HTTP's grammar that names are made of: the bytes of an RFC
// 9110 token, and the comparison in any case that header names, schemes
// and host names take (ASCII letters only fold).
#pragma once

namespace quodra {

// A tchar: a letter, a digit or one of !#$%&'*+-.^_`|~.
bool isTokenChar(char c);
// c with an ASCII capital made small; every other byte as it is.
char lowerAscii(char c);
// True when text[0..len) is word in any case.
bool sameNoCase(const char* text, int len, const char* word);

}  // namespace quodra
