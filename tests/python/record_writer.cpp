// Writes channel files for the Python tests the way the driver does, through
// the record unit, on a shared mapping, and wakes the file's waiting readers:
//   vx7_record_writer create PATH           100 spaces (made if missing)
//   vx7_record_writer write PATH VOLTS MS   one record over the start
//   vx7_record_writer blank PATH            all spaces again ("no value")
#include "vx7record/futex.h"
#include "vx7record/record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s create|write|blank PATH [VOLTS MS]\n", argv[0]);
        return 2;
    }
    const int fd = ::open(argv[2], O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, vx7::record::kSize) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    void *p = ::mmap(nullptr, vx7::record::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    char *map = static_cast<char *>(p);
    if (std::strcmp(argv[1], "write") == 0 && argc == 5)
        vx7::record::publish(map,
                             vx7::record::format(std::strtod(argv[3], nullptr), std::strtoul(argv[4], nullptr, 10)));
    else if (std::strcmp(argv[1], "blank") == 0 || std::strcmp(argv[1], "create") == 0)
        vx7::record::blank(map);
    else
        return 2;
    vx7::record::wake_readers(map);
    ::munmap(map, vx7::record::kSize);
    return 0;
}
