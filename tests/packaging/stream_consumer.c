/* A client of the installed libvx7stream, built by both consumer projects:
 * the sample in the channel file <dir>/adc2.adc, then nothing more. */
#include <vx7/stream.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    vx7_stream_options o;
    memset(&o, 0, sizeof o);
    o.dir = argv[1];
    o.channel_mask = 2;
    vx7_stream *s = NULL;
    if (vx7_stream_open(&o, &s) != VX7_STREAM_OK) {
        puts("FAIL: open");
        return 1;
    }
    vx7_sample x;
    int rc = vx7_stream_next(s, 1000, &x);
    if (rc != VX7_STREAM_OK || x.channel != 2 || x.elapsed_ms != 7 || strcmp(x.text, "1.25000000000e+00") != 0 ||
        x.volts != 1.25) {
        printf("FAIL: sample (%s)\n", vx7_stream_strerror(rc));
        vx7_stream_close(s);
        return 1;
    }
    rc = vx7_stream_next(s, 0, &x);
    vx7_stream_close(s);
    if (rc != VX7_STREAM_TIMEOUT) {
        puts("FAIL: a second sample");
        return 1;
    }
    puts("stream consumer ok");
    return 0;
}
