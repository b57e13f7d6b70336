/* fetch: GET a URL into a file, then say what came back: the result and its
 * meaning, the error behind it, the reply's status and its head.
 *
 * The same source builds on both platforms:
 *   Linux:   cc -std=c99 fetch.c $(pkg-config --cflags --libs quodra) -o fetch
 *   Windows: i686-w64-mingw32-gcc -std=c99 -Iinclude fetch.c -Lbuild/win32 -lquodra -o fetch.exe
 *            (quodra.h declares the calls __stdcall; the import library
 *            libquodra.dll.a maps them to the DLL's exports)
 *
 *   fetch http://127.0.0.1:8080/file.txt out.txt
 *
 * Exits 0 when the whole reply was stored and its status was 2xx. */
#include <quodra.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s URL OUTFILE\n", argv[0]);
        return 2;
    }

    /* Nobody is there to close a message box: errors come back as results
       only, and a peer that stops sending ends the call after 30 seconds. */
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 30);

    int result = httpGet(argv[1], argv[2], 0);

    char text[128];
    httpResultText(result, text, sizeof text);
    printf("result %d: %s\n", result, text);
    int error = httpLastError();
    if (error != 0 && error != result) {
        httpResultText(error, text, sizeof text);
        printf("error %d behind it: %s\n", error, text);
    }

    int status = httpLastStatus();
    int length = httpLastHead(NULL, 0);
    if (length > 0) {
        char *head = malloc((size_t)length + 1);
        if (head) {
            httpLastHead(head, length + 1);
            printf("status %d, head of %d bytes:\n%s", status, length, head);
            free(head);
        }
    }
    return result == QUODRA_OK && status >= 200 && status <= 299 ? 0 : 1;
}
