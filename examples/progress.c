/* progress: GET a URL into a file with a progress callback, and cancel the
 * download once half of it has come, as a form's Cancel button would; then
 * say how the call ended and why, in the library's words.
 *
 * The same source builds on both platforms:
 *   Linux:   cc -std=c99 progress.c $(pkg-config --cflags --libs quodra) -o progress
 *   Windows: x86_64-w64-mingw32-gcc -std=c99 -Iinclude progress.c -Lbuild/win64 -lquodra -o progress.exe
 *
 *   progress http://127.0.0.1:8080/big.bin out.bin
 *
 * Exits 0 when the call was cancelled halfway (result QUODRA_CANCELLED). */
#include <quodra.h>
#include <stdio.h>

struct Watch {
    int reports;          /* how often the library reported */
    double lastReceived;  /* the body bytes received at the last report */
    double total;         /* the reply's announced length; -1 while unknown */
};

/* Called on the calling thread, from inside httpGet, about ten times a
   second at most; a host with a window would update its bar here. */
static int QUODRA_API onProgress(void *context, double sent, double sendTotal,
                                 double received, double receiveTotal) {
    struct Watch *watch = context;
    (void)sent;
    (void)sendTotal;
    watch->reports++;
    watch->lastReceived = received;
    watch->total = receiveTotal;
    printf("received %.0f of %.0f\n", received, receiveTotal);
    /* Non-zero stops the call: half of a known length is enough here. */
    return receiveTotal > 0 && received >= receiveTotal / 2 ? 1 : 0;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s URL OUTFILE\n", argv[0]);
        return 2;
    }
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    httpSetOption(QUODRA_OPTION_TIME_LIMIT, 60);

    struct Watch watch = {0, 0, -1};
    httpSetProgress(onProgress, &watch);
    int result = httpGet(argv[1], argv[2], 0);
    httpSetProgress(NULL, NULL);

    char why[512];
    httpLastErrorText(why, sizeof why);
    printf("result %d after %d reports, %.0f of %.0f bytes: %s\n", result, watch.reports,
           watch.lastReceived, watch.total, result == QUODRA_OK ? "complete" : why);
    return result == QUODRA_CANCELLED ? 0 : 1;
}
