/* fetch_runtime: GET a URL into a file through quodra.dll loaded at run
 * time, with each call found by name or by ordinal. quodra.h is included
 * for its constants only; nothing is linked but the system's libraries.
 *
 *   i686-w64-mingw32-gcc -std=c99 -Iinclude fetch_runtime.c -o fetch_runtime.exe
 *   fetch_runtime http://example.org/index.html C:\temp\index.html */
#include <windows.h>
#include <stdio.h>

#include <quodra.h>

typedef int (__stdcall *HttpGetFn)(const char *url, const char *outfile, int visible);
typedef int (__stdcall *HttpLastStatusFn)(void);
typedef int (__stdcall *HttpSetOptionFn)(int option, int value);

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s URL OUTFILE\n", argv[0]);
        return 2;
    }

    HMODULE dll = LoadLibraryA("quodra.dll");
    if (!dll) {
        fprintf(stderr, "quodra.dll cannot be loaded (error %lu)\n", GetLastError());
        return 2;
    }
    HttpGetFn get = (HttpGetFn)GetProcAddress(dll, "httpGet");   /* or MAKEINTRESOURCEA(1) */
    HttpLastStatusFn lastStatus = (HttpLastStatusFn)GetProcAddress(dll, MAKEINTRESOURCEA(12));
    HttpSetOptionFn setOption = (HttpSetOptionFn)GetProcAddress(dll, "httpSetOption");
    if (!get || !lastStatus || !setOption) {
        fprintf(stderr, "quodra.dll lacks a call\n");
        FreeLibrary(dll);
        return 2;
    }

    setOption(QUODRA_OPTION_MESSAGE_BOXES, 0);   /* no box waits for a user */
    int result = get(argv[1], argv[2], 0);
    int status = lastStatus();
    printf("result %d, status %d\n", result, status);

    FreeLibrary(dll);
    return result == QUODRA_OK ? 0 : 1;
}
