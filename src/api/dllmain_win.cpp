// The loader's entry point: the C runtime has started when it calls DllMain,
// which hands load and unload to the library's own entry (which keeps the
// module handle and nothing more: the loader lock is held).
#include "platform/win/winsys.h"

#include "api/api.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved) {
    return quodra::DllEntryPoint(inst, reason, reserved);
}
