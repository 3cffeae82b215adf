/* Runs several commands round by round and reports, per command, the
 * median wall time, CPU time (user + system, from wait4) and minor page
 * faults, and the median of the per-round ratios of its wall and CPU time
 * to the first command's. Each round runs every command once, in an order
 * shuffled anew for the round (a fixed rotation would let each process
 * inherit the previous one's tear-down), each after an untimed setup.
 *
 * Usage: runs ROUNDS SETUP_SCRIPT -- NAME COMMAND... [-- NAME COMMAND...]...
 * Standard output of each command goes to out.txt in the current folder. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { kMaxCommands = 8 };

struct Command {
    const char* name;
    char** argv;
    double *wall, *cpu, *faults, *wallRatio, *cpuRatio;
};

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static double Seconds(struct timeval t) { return t.tv_sec + t.tv_usec / 1e6; }

/* One run; its wall time, and its CPU time and minor faults from wait4. */
static void Run(char** argv, int quiet, double* wall, double* cpu, double* faults) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    double start = Now();
    if (posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(2);
    }
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    if (wall) *wall = Now() - start;
    if (cpu) *cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    if (faults) *faults = (double)usage.ru_minflt;
    posix_spawn_file_actions_destroy(&actions);
}

static int Compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double Median(double* values, int n) {
    qsort(values, n, sizeof *values, Compare);
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int main(int argc, char** argv) {
    if (argc < 6 || strcmp(argv[3], "--") != 0) {
        fprintf(stderr, "usage: runs ROUNDS SETUP -- NAME COMMAND... [-- NAME COMMAND...]...\n");
        return 2;
    }
    int rounds = atoi(argv[1]);
    char* shell[] = {"/bin/sh", argv[2], NULL};
    struct Command commands[kMaxCommands];
    int count = 0;
    for (int i = 4; i < argc && count < kMaxCommands;) {
        struct Command* c = &commands[count++];
        c->name = argv[i++];
        c->argv = argv + i;
        while (i < argc && strcmp(argv[i], "--") != 0) ++i;
        if (i < argc) argv[i++] = NULL;
        c->wall = calloc(rounds, sizeof(double));
        c->cpu = calloc(rounds, sizeof(double));
        c->faults = calloc(rounds, sizeof(double));
        c->wallRatio = calloc(rounds, sizeof(double));
        c->cpuRatio = calloc(rounds, sizeof(double));
    }
    srand(500);
    int order[kMaxCommands];
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < count; ++i) order[i] = i;
        for (int i = count - 1; i > 0; --i) {
            int j = rand() % (i + 1);
            int t = order[i];
            order[i] = order[j];
            order[j] = t;
        }
        for (int i = 0; i < count; ++i) {
            struct Command* c = &commands[order[i]];
            Run(shell, 0, NULL, NULL, NULL);
            Run(c->argv, 1, &c->wall[r], &c->cpu[r], &c->faults[r]);
        }
        for (int i = 0; i < count; ++i) {
            commands[i].wallRatio[r] = commands[i].wall[r] / commands[0].wall[r];
            commands[i].cpuRatio[r] = commands[0].cpu[r] > 0 ? commands[i].cpu[r] / commands[0].cpu[r] : 0;
        }
    }
    printf("%-13s %9s %9s %7s %9s %9s\n", "program", "wall us", "cpu us", "faults", "wall/ref", "cpu/ref");
    for (int i = 0; i < count; ++i) {
        struct Command* c = &commands[i];
        printf("%-13s %9.1f %9.1f %7.0f %9.3f %9.3f\n", c->name, Median(c->wall, rounds) * 1e6,
               Median(c->cpu, rounds) * 1e6, Median(c->faults, rounds), Median(c->wallRatio, rounds),
               Median(c->cpuRatio, rounds));
    }
    return 0;
}
