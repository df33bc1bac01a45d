// Value files, POSIX form: open(2) + mmap(2) with MAP_SHARED.
#include "vx7/memfile.h"

#include "../common/unique_fd.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

struct memfile_priv {
    int fd;      // kept open as long as the mapping exists
    size_t size; // mapped length
};

namespace {

// Writes `size` spaces from the start of the file. Failed writes are not
// reported: a file that ends up shorter than `size` is extended afterwards.
void fill_with_spaces(int fd, size_t size)
{
    static constexpr char spaces[256] = {
#define S8 ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '
#define S64 S8, S8, S8, S8, S8, S8, S8, S8
        S64, S64, S64, S64
#undef S64
#undef S8
    };
    off_t pos = 0;
    while (static_cast<size_t>(pos) < size) {
        size_t chunk = size - static_cast<size_t>(pos);
        if (chunk > sizeof spaces)
            chunk = sizeof spaces;
        ssize_t n = ::pwrite(fd, spaces, chunk, pos);
        if (n <= 0)
            return;
        pos += n;
    }
}

// Touching mapped bytes beyond the end of a file raises SIGBUS, so a file
// shorter than the mapping is never mapped as it is: in a writable mode it is
// extended to `size`, in read-only mode it is refused.
[[nodiscard]] bool ensure_length(int fd, size_t size, bool writable)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) >= size)
        return true;
    if (!writable)
        return false;
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

} // namespace

extern "C" uint8_t memfile_create(const char *path, uint8_t mode, size_t size, memfile_t *rec)
{
    if (rec == nullptr)
        return MEMFILE_NO_RECORD;
    rec->priv = nullptr;
    rec->data = nullptr;

    int flags;
    mode_t perms = 0;
    int prot;
    switch (mode & (MEMFILE_READ | MEMFILE_WRITE)) {
    case MEMFILE_READ | MEMFILE_WRITE:
        flags = O_RDWR | O_CREAT;
        perms = 0666;
        prot = PROT_READ | PROT_WRITE;
        break;
    case MEMFILE_WRITE:
        // A write-only descriptor cannot carry a shared writable mapping on
        // POSIX systems: the file is still created, but left as it is (not
        // filled, not lengthened), and the result is MEMFILE_CANNOT_MAP.
        flags = O_WRONLY | O_CREAT;
        perms = 0222;
        prot = 0;
        break;
    case MEMFILE_READ:
        flags = O_RDONLY;
        prot = PROT_READ;
        break;
    default:
        return MEMFILE_CANNOT_OPEN;
    }
    if (path == nullptr)
        return MEMFILE_CANNOT_OPEN;

    // O_NONBLOCK: a FIFO or device node at the path must not hang the caller
    // in open(); it is refused by the checks below instead. Regular files
    // ignore the flag.
    vx7::UniqueFD fd(::open(path, flags | O_CLOEXEC | O_NONBLOCK, perms));
    if (!fd.valid())
        return MEMFILE_CANNOT_OPEN;

    if (prot == 0)
        return MEMFILE_CANNOT_MAP;
    const bool writable = (mode & MEMFILE_WRITE) != 0;
    if (writable && (mode & MEMFILE_FILL) != 0)
        fill_with_spaces(fd.get(), size);
    if (!ensure_length(fd.get(), size, writable))
        return MEMFILE_CANNOT_MAP;

    void *map = ::mmap(nullptr, size, prot, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED)
        return MEMFILE_CANNOT_MAP;

    auto *priv = static_cast<memfile_priv *>(std::malloc(sizeof(memfile_priv)));
    if (priv == nullptr) {
        ::munmap(map, size);
        return MEMFILE_CANNOT_MAP;
    }
    priv->fd = fd.release();
    priv->size = size;
    rec->priv = priv;
    rec->data = static_cast<char *>(map);
    return MEMFILE_OK;
}

extern "C" void memfile_close(memfile_t *rec)
{
    if (rec == nullptr || rec->priv == nullptr)
        return;
    ::munmap(rec->data, rec->priv->size);
    ::close(rec->priv->fd);
    std::free(rec->priv);
    rec->priv = nullptr;
    rec->data = nullptr;
}
