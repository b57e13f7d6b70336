// The loader's entry point: the C runtime has started when it calls DllMain,
// which hands load and unload to the library's own entry.
#include "winsys.h"

#include "../../api/api.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved) {
    return DllEntryPoint(inst, reason, reserved);
}
