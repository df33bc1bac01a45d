/*
 * vx7 value files: files of fixed size mapped into memory with a shared
 * mapping, so that what one process stores is seen at once by every other
 * process that maps the same file.
 *
 * A memfile_t is either empty (both fields null) or open (both set). The
 * caller provides its storage; memfile_create fills it, memfile_close empties
 * it. Callers use only `data`; `priv` belongs to the implementation.
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

/* Opens (and with MEMFILE_WRITE creates) `path`, optionally fills its first
 * `size` bytes with spaces, and maps `size` bytes from offset 0 shared.
 * Results:
 *   0  open and mapped; the record is filled
 *   1  no read or write bit, or the file cannot be opened or created
 *   2  the file cannot be mapped (this includes size 0, and a read-only file
 *      shorter than `size`, which could not be read in full)
 *   3  `rec` is null; nothing is touched
 * On every failure the record is left empty and nothing stays open. */
uint8_t memfile_create(const char *path, uint8_t mode, size_t size, memfile_t *rec);

/* Unmaps and closes an open record and empties it. A null record or an empty
 * one is left alone, so closing twice is harmless. */
void memfile_close(memfile_t *rec);

#ifdef __cplusplus
}
#endif

#endif
