/* A plain C client of libvx7, built by the test suite against the library in
 * the build tree and, with gcc and pkg-config, against the installed one.
 *
 *   client exports <dir>      calls every export once; <dir> is a writable
 *                             directory for a value file. Expects the vx7
 *                             device (simulated) to be attached and no
 *                             channel files but /home/dev/vx7/adc1.adc,
 *                             holding 1.25.
 *   client read <n>...        prints vx7_read(n) for each n ("%.17g")
 *   client configure <chan> <freq> <range> <calibrate> <subchannel>
 *   client reinit             print the call's result code
 *
 * Exit status: 0 when everything went as expected, 1 on an unexpected
 * result, 2 on bad usage, 3 when a call left a descriptor or mapping open. */
#include <vx7/memfile.h>
#include <vx7/vhid.h>
#include <vx7/vx7.h>

#include <dirent.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++failures;
    }
}

static int open_fds(void)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == NULL)
        return -1;
    while (readdir(d) != NULL)
        ++n;
    closedir(d);
    return n;
}

/* Mappings of channel files ("adc" in the path) in this process. */
static int adc_mappings(void)
{
    char line[512];
    int n = 0;
    FILE *f = fopen("/proc/self/maps", "r");
    if (f == NULL)
        return -1;
    while (fgets(line, sizeof line, f) != NULL)
        if (strstr(line, ".adc") != NULL)
            ++n;
    fclose(f);
    return n;
}

static int exports(const char *dir)
{
    char path[4096];
    memfile_t rec;
    unsigned char report[4] = {7, 1, 0, 0};
    const char *help = vx7_help();

    check(VX7_MAX_RANGE == 2.5f, "VX7_MAX_RANGE");
    check(help != NULL && strlen(help) == 1427 && help == vx7_help(), "vx7_help");
    check(vx7_read(0) == 1e10 && vx7_read(5) == 1e10, "vx7_read bad channel");
    check(vx7_read(1) == 1.25, "vx7_read(1)");
    check(vx7_read(2) == -1e10, "vx7_read(2) without a file");
    check(vx7_configure(4, 0, 0.0f, 8, 4) == 2, "vx7_configure wrong channel");
    check(vx7_configure(1, 1000, 0.5f, 1, 0) == 0, "vx7_configure");
    check(vx7_reinit() == 0, "vx7_reinit");

    void *dev = HidOpenDevice(0x16C0, 0x05DF, L"ZANDRIVELO", L"vx7 HID");
    check(HidIsConnected(dev), "HidOpenDevice");
    check(HidSendArr(dev, report, 4) == 4, "HidSendArr");
    check(HidReceiveArr(dev, report, 4) == 4, "HidReceiveArr");
    HidCloseDevice(dev);
    check(!HidIsConnected(NULL), "HidIsConnected(NULL)");

    snprintf(path, sizeof path, "%s/value.adc", dir);
    check(memfile_create(path, MEMFILE_READ | MEMFILE_WRITE | MEMFILE_FILL, 100, &rec) == 0, "memfile_create");
    check(rec.data != NULL && rec.data[99] == ' ', "memfile_create data");
    memfile_close(&rec);
    check(rec.data == NULL, "memfile_close");
    return failures ? 1 : 0;
}

int main(int argc, char **argv)
{
    const int fds = open_fds();
    int rc = 2;
    if (argc >= 3 && strcmp(argv[1], "exports") == 0) {
        rc = exports(argv[2]);
    } else if (argc >= 3 && strcmp(argv[1], "read") == 0) {
        for (int i = 2; i < argc; ++i)
            printf("%.17g\n", vx7_read((uint8_t)atoi(argv[i])));
        rc = 0;
    } else if (argc == 7 && strcmp(argv[1], "configure") == 0) {
        printf("%d\n", vx7_configure((uint8_t)atoi(argv[2]), (uint16_t)atoi(argv[3]), strtof(argv[4], NULL),
                                     (uint8_t)atoi(argv[5]), (uint8_t)atoi(argv[6])));
        rc = 0;
    } else if (argc == 2 && strcmp(argv[1], "reinit") == 0) {
        printf("%d\n", vx7_reinit());
        rc = 0;
    } else {
        fprintf(stderr, "usage: client exports <dir> | read <n>... | configure <5 args> | reinit\n");
    }
    if (rc != 2 && (open_fds() != fds || adc_mappings() != 0)) {
        printf("FAIL: descriptor or mapping left open\n");
        rc = 3;
    }
    fflush(stdout);
    return rc;
}
