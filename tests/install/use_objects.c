/* A plain C client of the two installed object modules, compiled with gcc:
 * the transport (linked with -lusb alone) and the value files (linked with
 * nothing else). Exits non-zero on the first unexpected result. */
#include <vx7/memfile.h>
#include <vx7/vhid.h>

#include <stdio.h>
#include <string.h>

static int fail(const char *what)
{
    printf("FAIL: %s\n", what);
    return 1;
}

int use_transport(void)
{
#ifdef WITH_TRANSPORT
    unsigned char report[4] = {3, 1, 0, 100};
    void *dev = HidOpenDevice(0x16C0, 0x05DF, L"ZANDRIVELO", L"vx7 HID");
    if (dev == NULL)
        return fail("no vx7 device found");
    if (!HidIsConnected(dev))
        return fail("HidIsConnected");
    if (HidSendArr(dev, report, 4) != 4)
        return fail("HidSendArr");
    if (HidReceiveArr(dev, report, 4) != 4)
        return fail("HidReceiveArr");
    HidCloseDevice(dev);
    dev = NULL;
    if (HidIsConnected(dev) || HidSendArr(dev, report, 4) != 0 || HidReceiveArr(dev, report, 4) != 0)
        return fail("null handle");
    HidCloseDevice(NULL);
    puts("transport ok");
#endif
    return 0;
}

int use_value_file(const char *path)
{
#ifdef WITH_VALUE_FILE
    memfile_t writer, reader;
    if (memfile_create(path, MEMFILE_READ | MEMFILE_WRITE | MEMFILE_FILL, 100, &writer) != 0)
        return fail("memfile_create writer");
    if (memfile_create(path, MEMFILE_READ, 100, &reader) != 0)
        return fail("memfile_create reader");
    memcpy(writer.data, "1.25\t", 5);
    if (memcmp(reader.data, "1.25\t ", 6) != 0)
        return fail("shared mapping");
    memfile_close(&reader);
    memfile_close(&writer);
    memfile_close(&writer);
    if (memfile_create(path, 0, 100, &reader) != 1 || reader.data != NULL)
        return fail("mode 0");
    puts("value file ok");
#endif
    (void)path;
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return fail("usage: use_objects <value-file path>");
    return use_transport() | use_value_file(argv[1]);
}
