/* memfile.h is a C contract: this file must compile as C. */
#include "vx7/memfile.h"

int vx7_memfile_header_is_c(void)
{
    memfile_t rec = {0, 0};
    const uint8_t rc = memfile_create("x", MEMFILE_READ | MEMFILE_WRITE | MEMFILE_FILL, 100, &rec);
    memfile_close(&rec);
    return rc == MEMFILE_OK || rc == MEMFILE_CANNOT_OPEN || rc == MEMFILE_CANNOT_MAP || rc == MEMFILE_NO_RECORD;
}
