/* A C client as a user of the libvx7-dev package writes it: both libraries
 * through pkg-config. Prints "vx7 <stream library version> channel 1 <volts>"
 * and exits 0 when channel 1 has a value, 1 otherwise. */
#include <vx7/stream.h>
#include <vx7/vx7.h>

#include <stdio.h>

int main(void)
{
    const double v = vx7_read(1);
    if (v <= -1e10 || v >= 1e10) {
        printf("vx7 %s channel 1 no value\n", vx7_stream_version());
        return 1;
    }
    printf("vx7 %s channel 1 %+.9f\n", vx7_stream_version(), v);
    return 0;
}
