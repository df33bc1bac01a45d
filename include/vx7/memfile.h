/*
 * vx7 value files: files of fixed size mapped into memory with a shared
 * mapping, so that what one process stores is seen at once by every other
 * process that maps the same file.
 *
 * A memfile_t is either empty (both fields null) or open (both set). The
 * caller provides its storage; memfile_create fills it, memfile_close empties
 * it. Callers use only `data`; `priv` belongs to the implementation.
 *
 * What differs between the POSIX and the Windows form, as a caller sees it:
 *  - no access bit (mode 0 or 4): POSIX refuses with MEMFILE_CANNOT_OPEN;
 *    Windows opens the file for reading, as with MEMFILE_READ;
 *  - read-only on a missing file: POSIX gives MEMFILE_CANNOT_OPEN and creates
 *    nothing; Windows creates the file (every access opens or creates);
 *  - write without read (mode 2 or 6) cannot be mapped on either: POSIX
 *    creates a missing file, leaves the file otherwise unchanged and gives
 *    MEMFILE_CANNOT_MAP; Windows creates it, fills it with mode 6, and gives
 *    MEMFILE_CANNOT_OPEN (Windows reports a failed mapping object so);
 *  - a read-only file shorter than `size`: MEMFILE_CANNOT_MAP on POSIX,
 *    MEMFILE_CANNOT_OPEN on Windows; in a writable mode both lengthen the
 *    file to `size`;
 *  - size 0: POSIX refuses it (MEMFILE_CANNOT_MAP); Windows maps the whole
 *    file instead, and fails only on an empty one;
 *  - created files: POSIX asks for permission bits 0666 (write-only 0222),
 *    less the file-creation mask; Windows gives normal attributes;
 *  - while mapped, a POSIX file can be removed or renamed (the mapping keeps
 *    the old file); Windows refuses both until memfile_close;
 *  - a FIFO or device at the path: POSIX refuses it without waiting.
 * The descriptor (POSIX, close-on-exec) or handles (Windows, not inherited)
 * never reach child processes.
 *
 * Threads: the calls keep no state of their own, so different records may be
 * used from different threads at once; a single record must not be created or
 * closed by two threads at once. The mapped bytes themselves are not
 * synchronised: writers and readers of a file agree on their own protocol.
 *
 * Compiles as C and as C++.
 */
#ifndef VX7_MEMFILE_H
#define VX7_MEMFILE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct memfile_priv;

typedef struct memfile_t {
    struct memfile_priv *priv; /* owned platform part; null when empty */
    char *data;                /* first mapped byte; null when empty */
} memfile_t;

/* Access-mode bits; other bits are ignored. */
#define MEMFILE_READ 1  /* map for reading */
#define MEMFILE_WRITE 2 /* map for writing; create the file when missing */
#define MEMFILE_FILL 4  /* with MEMFILE_WRITE: first `size` bytes set to spaces */

/* Results of memfile_create (returned as uint8_t). */
enum {
    MEMFILE_OK = 0,          /* open and mapped; the record is filled */
    MEMFILE_CANNOT_OPEN = 1, /* no read or write bit, or the file cannot be
                                opened or created */
    MEMFILE_CANNOT_MAP = 2,  /* the file cannot be mapped (this includes size
                                0, write without read, and a read-only file
                                shorter than `size`, which could not be read
                                in full) */
    MEMFILE_NO_RECORD = 3    /* `rec` is null; nothing is touched */
};

/* Opens (and with MEMFILE_WRITE creates) `path`, optionally fills its first
 * `size` bytes with spaces, and maps `size` bytes from offset 0 shared.
 * Returns one of the results above (see the differences on Windows). On
 * every failure the record is left empty and nothing stays open. */
uint8_t memfile_create(const char *path, uint8_t mode, size_t size, memfile_t *rec);

/* Unmaps and closes an open record and empties it. A null record or an empty
 * one is left alone, so closing twice is harmless. */
void memfile_close(memfile_t *rec);

#ifdef __cplusplus
}
#endif

#endif
