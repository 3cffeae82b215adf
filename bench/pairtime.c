/* Times two commands pair by pair: each round runs A then B (order
 * alternating between rounds), each in a fresh copy of the job's files,
 * and reports the median of the per-round ratios A/B and each median time.
 * Usage: pairtime ROUNDS SETUP_SCRIPT -- A... -- B...
 * SETUP_SCRIPT runs (untimed) before every single run. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

extern char** environ;

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void Run(char** argv, int quiet) {
    pid_t pid;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(2);
    }
    int status;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
}

static double Timed(char** argv, char* setup) {
    char* shell[] = {"/bin/sh", setup, NULL};
    Run(shell, 0);
    double start = Now();
    Run(argv, 1);
    return Now() - start;
}

static int Compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: pairtime ROUNDS SETUP -- A... -- B...\n");
        return 2;
    }
    int rounds = atoi(argv[1]);
    char* setup = argv[2];
    char** a = argv + 4;
    char** b = a;
    while (*b != NULL && strcmp(*b, "--") != 0) ++b;
    if (*b == NULL) return 2;
    *b++ = NULL;
    double* ratio = calloc(rounds, sizeof *ratio);
    double* ta = calloc(rounds, sizeof *ta);
    double* tb = calloc(rounds, sizeof *tb);
    for (int i = 0; i < rounds; ++i) {
        if (i % 2 == 0) {
            ta[i] = Timed(a, setup);
            tb[i] = Timed(b, setup);
        } else {
            tb[i] = Timed(b, setup);
            ta[i] = Timed(a, setup);
        }
        ratio[i] = ta[i] / tb[i];
    }
    qsort(ratio, rounds, sizeof *ratio, Compare);
    qsort(ta, rounds, sizeof *ta, Compare);
    qsort(tb, rounds, sizeof *tb, Compare);
    printf("%.3f %.1f %.1f\n", ratio[rounds / 2], ta[rounds / 2] * 1e6, tb[rounds / 2] * 1e6);
    return 0;
}
