/* Runs one program and reports how it went, from a process small enough
 * that the program's peak memory is its own: a process's peak resident
 * size starts at that of the process it was started from.
 *
 *   bench_launch REPORT OUT PROGRAM [ARGS...]
 *
 * OUT becomes the program's standard output ("-": none). REPORT receives
 * one line: exit status (128 + signal when killed), wall seconds, CPU
 * seconds (user and system) and peak resident KiB of the program alone. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timespec t) { return (double)t.tv_sec + (double)t.tv_nsec / 1e9; }

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: bench_launch REPORT OUT PROGRAM [ARGS...]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        const char *out = strcmp(argv[2], "-") == 0 ? "/dev/null" : argv[2];
        int in = open("/dev/null", O_RDONLY);
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || fd < 0 || dup2(in, 0) < 0 || dup2(fd, 1) < 0) _exit(127);
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    int status = 0;
    struct rusage use;
    while (wait4(pid, &status, 0, &use) < 0) {
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    FILE *report = fopen(argv[1], "w");
    if (!report) return 1;
    fprintf(report, "%d %.9f %.9f %ld\n",
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            seconds(end) - seconds(start),
            (double)(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                (double)(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6,
            use.ru_maxrss);
    return fclose(report) == 0 ? 0 : 1;
}
