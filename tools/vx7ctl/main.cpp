// vx7ctl: the vx7 ADC from the command line. Lists USB devices, tells whether
// the acquisition driver runs, reads channel values (once, watching, or as
// JSON), records every sample to a file, configures a channel and resets the
// device, all through libvx7 and the sample stream.
//
// Every argument is checked before anything reaches the library, so a value
// the library would silently wrap or take as "unchanged" (channel 7, a
// frequency of 70000, a range so small it rounds to 0 as a float) is refused
// with a one-line error and exit status 2. Channels are numbered 1-4 in
// every command.
#include "args.h"
#include "commands.h"
#include "vx7version/version.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

const char kUsageText[] =
    "usage: vx7ctl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  list                 the USB devices the transport sees; the vx7 device is\n"
    "                       marked with \"*\"\n"
    "  status [--program NAME]\n"
    "                       whether the acquisition driver runs (vx7_driver and\n"
    "                       vx7_driver_quiet, or NAME), and each channel's latest\n"
    "                       value with its elapsed-milliseconds field\n"
    "  read [CHANNEL] [--watch [MS]] [--count N] [--json]\n"
    "                       latest value of channel CHANNEL (1-4), or of all four;\n"
    "                       --watch refreshes every MS ms (10-3600000, default 500)\n"
    "                       until Ctrl+C, --count N stops after N readings (and\n"
    "                       implies --watch), --json prints one JSON object per\n"
    "                       reading; give CHANNEL before --watch, or --watch=MS\n"
    "  record [--output FILE] [--format csv|jsonl] [--channels LIST]\n"
    "         [--duration SECONDS] [--count N] [--append | --force]\n"
    "         [--channels-config FILE]\n"
    "                       every sample the driver publishes, once, with its time:\n"
    "                       CSV (time,elapsed_ms,channel,volts) or JSON lines, to\n"
    "                       FILE or standard output, until Ctrl+C, SECONDS or N\n"
    "                       samples; LIST such as 1,3 or 2-4 (default all four);\n"
    "                       an existing FILE is kept unless --append (add to it)\n"
    "                       or --force (overwrite it); a summary goes to standard\n"
    "                       error; with a channel configuration FILE (YAML:\n"
    "                       names, units, scale and offset per channel) a value\n"
    "                       column (volts x scale + offset) follows volts\n"
    "  configure --chan CHANNEL [--freq HZ] [--range VOLTS] [--calibrate MODE]\n"
    "            [--input INPUT]\n"
    "                       configures channel CHANNEL (1-4) of the device; a\n"
    "                       setting left out (or 0 for HZ and VOLTS) stays as it is\n"
    "                         --freq HZ         sampling frequency, 0-65535\n"
    "                         --range VOLTS     largest input voltage, 0-2.5; the\n"
    "                                           device takes the smallest range\n"
    "                                           2.5/2^k V (k 0-7) that holds it\n"
    "                         --calibrate MODE  none, auto, ext-zero, ext-range,\n"
    "                                           mixed, background, int-zero,\n"
    "                                           int-range (or 0-7)\n"
    "                         --input INPUT     A, B, GND, test (or 0-3)\n"
    "  reset                hard reset of the device\n"
    "  help                 the library's help text\n"
    "  --help, -h           this text\n"
    "  --version            vx7ctl's version (the vx7 release it belongs to)\n"
    "\n"
    "Channel numbers: every command numbers the channels 1-4 (channel 1 is the\n"
    "first input). The library's help text numbers them 0-3, as the device does.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  failure: a command was not delivered, a channel has no value, an\n"
    "     output file exists or cannot be written\n"
    "  2  bad command line\n"
    "  3  vx7 device not found (list, configure, reset)\n"
    "  4  driver daemon not running (status)\n";

struct Command {
    std::string_view name;
    int (*run)(vx7ctl::Args &);
};

constexpr Command kCommands[] = {
    {"list", vx7ctl::cmd_list},     {"status", vx7ctl::cmd_status},       {"read", vx7ctl::cmd_read},
    {"record", vx7ctl::cmd_record}, {"configure", vx7ctl::cmd_configure}, {"reset", vx7ctl::cmd_reset},
    {"help", vx7ctl::cmd_help},
};

} // namespace

int main(int argc, char **argv)
{
    // Device names in the listing are wide strings: print them in the
    // user's character set. Numbers keep the C locale's decimal point.
    std::setlocale(LC_CTYPE, "");

    if (argc < 2)
        return vx7ctl::usage_error("no command given");
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsageText, stdout);
            return vx7ctl::kOk;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("vx7ctl " VX7_VERSION);
            return vx7ctl::kOk;
        }
    }

    const std::string_view name = argv[1];
    vx7ctl::Args args(argc, argv, 2);
    const Command *command = nullptr;
    for (const Command &c : kCommands) {
        if (c.name == name)
            command = &c;
    }
    if (command == nullptr)
        return vx7ctl::usage_error("unknown command '%s'", argv[1]);
    int rc = command->run(args);
    if (std::fflush(stdout) != 0 && rc == vx7ctl::kOk)
        rc = vx7ctl::kFailed;
    return rc;
}
