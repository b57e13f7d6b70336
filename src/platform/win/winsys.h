// The Windows system headers as every file of this backend includes them:
// Windows Sockets first (it must precede windows.h), no min/max macros.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include "platform/numbers.h"
#include "platform/platform.h"
