/* lock_edit: replaces a file on a WebDAV server the way an editor saves
 * it, under a lock that keeps every other writer out meanwhile: LOCK, the
 * lock's token read from the reply head, PUT with the token in an If line,
 * UNLOCK.
 *
 * The same source builds on both platforms, like fetch.c:
 *   Linux:   cc -std=c99 lock_edit.c $(pkg-config --cflags --libs quodra) -o lock_edit
 *   Windows: i686-w64-mingw32-gcc -std=c99 -Iinclude lock_edit.c -Lbuild/win32 -lquodra -o lock_edit.exe
 *
 *   lock_edit http://127.0.0.1:8080/dav/report.txt report.txt reply.xml
 *
 * REPLY receives each reply body in turn. Exits 0 when the file was stored
 * under the lock and the lock released. */
#include <quodra.h>
#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s URL FILE REPLY\n", argv[0]);
        return 2;
    }
    const char *url = argv[1], *file = argv[2], *reply = argv[3];
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);

    /* Depth 0 (the file alone), for ten minutes at most; the library's own
       body asks for an exclusive write lock. */
    int result = davLock(url, NULL, reply, 0, 600, 0);
    char token[256];
    int length = httpLastHeader("Lock-Token", token, sizeof token);
    if (result != QUODRA_OK || httpLastStatus() != 200 || length <= 0 ||
        length >= (int)sizeof token) {
        fprintf(stderr, "not locked: result %d, status %d\n", result, httpLastStatus());
        return 1;
    }

    /* The token comes with its angle brackets: If: (<urn:uuid:...>) */
    char lines[300];
    snprintf(lines, sizeof lines, "If: (%s)", token);
    httpSetOptionText(QUODRA_OPTION_HEADERS, lines);
    result = davPut(url, file, reply, 0);
    int status = httpLastStatus();
    httpSetOptionText(QUODRA_OPTION_HEADERS, NULL);

    int unlocked = davUnlock(url, token, reply, 0) == QUODRA_OK && httpLastStatus() == 204;
    printf("put: result %d, status %d; %s\n", result, status,
           unlocked ? "unlocked" : "the lock was not released");
    return result == QUODRA_OK && status >= 200 && status <= 299 && unlocked ? 0 : 1;
}
