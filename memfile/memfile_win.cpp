// Value files, Windows form: CreateFileA + an unnamed file-mapping object and
// a shared view of it.
//
// Differences from the POSIX form that callers can see:
//  - access bits 0 open the file for reading, like MEMFILE_READ;
//  - the file is opened with OPEN_ALWAYS for every access, so a missing file
//    is created even when it is only to be read;
//  - a failed mapping object gives result 1 (only a failed view gives 2), so
//    write-only access (2 or 6), which the platform cannot map read-write,
//    gives 1 after the file has been created (and with 6, filled).
#include "vx7/memfile.h"

#include "vx7common/unique_handle.h"

#include <cstdlib>
#include <windows.h>

struct memfile_priv {
    HANDLE file;    // the file, kept open as long as the view exists
    HANDLE mapping; // the mapping object behind the view
};

namespace {

struct Access {
    DWORD file;       // CreateFileA desired access
    DWORD protection; // CreateFileMappingA page protection
    DWORD view;       // MapViewOfFile access
};

constexpr Access access_for(uint8_t mode)
{
    switch (mode & (MEMFILE_READ | MEMFILE_WRITE)) {
    case MEMFILE_READ | MEMFILE_WRITE:
        return {GENERIC_READ | GENERIC_WRITE, PAGE_READWRITE, FILE_MAP_READ | FILE_MAP_WRITE};
    case MEMFILE_WRITE:
        return {GENERIC_WRITE, PAGE_READWRITE, FILE_MAP_WRITE};
    default: // read only, and no access bits at all
        return {GENERIC_READ, PAGE_READONLY, FILE_MAP_READ};
    }
}

// Writes `size` spaces from the current position (the start of a freshly
// opened file). Failed writes are not reported: the mapping that follows
// decides whether the file is usable.
void fill_with_spaces(HANDLE file, size_t size)
{
    static constexpr char spaces[256] = {
#define S8 ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '
#define S64 S8, S8, S8, S8, S8, S8, S8, S8
        S64, S64, S64, S64
#undef S64
#undef S8
    };
    size_t done = 0;
    while (done < size) {
        size_t chunk = size - done;
        if (chunk > sizeof spaces)
            chunk = sizeof spaces;
        DWORD written = 0;
        if (!::WriteFile(file, spaces, static_cast<DWORD>(chunk), &written, nullptr) || written == 0)
            return;
        done += written;
    }
}

} // namespace

extern "C" uint8_t memfile_create(const char *path, uint8_t mode, size_t size, memfile_t *rec)
{
    if (rec == nullptr)
        return 3;
    rec->priv = nullptr;
    rec->data = nullptr;
    if (path == nullptr)
        return 1;

    const Access access = access_for(mode);
    vx7::UniqueHandle file(::CreateFileA(path, access.file, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return 1;

    if ((mode & (MEMFILE_WRITE | MEMFILE_FILL)) == (MEMFILE_WRITE | MEMFILE_FILL))
        fill_with_spaces(file.get(), size);

    // The mapping object's size is given in two 32-bit halves.
    const auto size64 = static_cast<unsigned long long>(size);
    vx7::UniqueHandle mapping(::CreateFileMappingA(file.get(), nullptr, access.protection,
                                                   static_cast<DWORD>(size64 >> 32),
                                                   static_cast<DWORD>(size64 & 0xFFFFFFFFu), nullptr));
    if (!mapping.valid())
        return 1;

    void *view = ::MapViewOfFile(mapping.get(), access.view, 0, 0, size);
    if (view == nullptr)
        return 2;

    auto *priv = static_cast<memfile_priv *>(std::malloc(sizeof(memfile_priv)));
    if (priv == nullptr) {
        ::UnmapViewOfFile(view);
        return 2;
    }
    priv->file = file.release();
    priv->mapping = mapping.release();
    rec->priv = priv;
    rec->data = static_cast<char *>(view);
    return 0;
}

extern "C" void memfile_close(memfile_t *rec)
{
    if (rec == nullptr || rec->priv == nullptr)
        return;
    ::UnmapViewOfFile(rec->data);
    ::CloseHandle(rec->priv->mapping);
    ::CloseHandle(rec->priv->file);
    std::free(rec->priv);
    rec->priv = nullptr;
    rec->data = nullptr;
}
