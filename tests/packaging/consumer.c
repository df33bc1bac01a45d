/* A client of the installed libvx7, built by both consumer projects. It
 * needs no device: the calls it checks answer without one. */
#include <vx7/vx7.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    const char *help = vx7_help();
    if (help == NULL || strlen(help) != 1427 || VX7_MAX_RANGE != 2.5f) {
        puts("FAIL: help text or VX7_MAX_RANGE");
        return 1;
    }
    if (vx7_configure(4, 0, 0.0f, 8, 4) != 2 || vx7_read(0) != 1e10) {
        puts("FAIL: channel checks");
        return 1;
    }
    puts("consumer ok");
    return 0;
}
