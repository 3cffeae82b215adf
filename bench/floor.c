/* The floor: only the calls the job needs (open both files, measure both,
 * read the source, write it over the target, flush the target to stable
 * storage, close both, print Ok), as a
 * static C program. What patch500 costs above this is its own. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    static char buffer[500];
    struct stat a, b;
    if (argc != 3) return 1;
    int source = open(argv[1], O_RDWR);
    int target = open(argv[2], O_RDWR);
    if (source < 0 || target < 0 || fstat(source, &a) || fstat(target, &b)) return 1;
    if (read(source, buffer, 500) != 500 || write(target, buffer, 500) != 500) return 1;
    if (fdatasync(target) != 0) return 1;
    close(source);
    close(target);
    return write(1, "Ok\r\n", 4) == 4 ? 0 : 1;
}
