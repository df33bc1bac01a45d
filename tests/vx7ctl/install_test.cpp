// vx7ctl and the Python module as `cmake --install` lays them out in a
// prefix of the test's own: the tool needs no C++ runtime, finds the
// installed libvx7 through its RUNPATH, and the module finds the library of
// its own installation when nothing else names one.
#include "shell.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Output = vx7test::ShellOutput;
using vx7test::shell;

std::vector<std::string> dynamic_entries(const std::string &file, const std::string &tag)
{
    std::vector<std::string> v;
    const Output o = shell("readelf -d '" + file + "'");
    std::size_t pos = 0;
    while ((pos = o.text.find("(" + tag + ")", pos)) != std::string::npos) {
        const std::size_t open = o.text.find('[', pos), close = o.text.find(']', open);
        v.push_back(o.text.substr(open + 1, close - open - 1));
        pos = close;
    }
    return v;
}

TEST(InstalledCtl, ToolAndPythonModuleRunFromThePrefix)
{
    vx7test::TempDir dir;
    const std::string prefix = dir.file("prefix");
    const Output install = shell(std::string("'") + VX7_TEST_CMAKE + "' --install '" + VX7_TEST_BINARY_DIR +
                                 "' --prefix '" + prefix + "'");
    ASSERT_EQ(install.status, 0) << install.text;

    const std::string tool = prefix + "/bin/vx7ctl";
    ASSERT_TRUE(fs::exists(tool));
    const auto needed = dynamic_entries(tool, "NEEDED");
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libvx7.so.1"), needed.end());
    for (const auto &lib : needed) {
        EXPECT_EQ(lib.find("libstdc++"), std::string::npos) << lib;
        EXPECT_EQ(lib.find("libgcc_s"), std::string::npos) << lib;
    }
    // A RUNPATH relative to the program, leading to the installed libvx7.
    const auto runpath = dynamic_entries(tool, "RUNPATH");
    ASSERT_EQ(runpath.size(), 1u);
    ASSERT_EQ(runpath[0].rfind("$ORIGIN/", 0), 0u) << runpath[0];
    EXPECT_TRUE(fs::exists(prefix + "/bin/" + runpath[0].substr(8) + "/libvx7.so.1")) << runpath[0];

    auto sim = vx7sim::Sim::create(dir.file("device.state"));
    sim.add_vx7();
    const std::string env =
        "env -u VX7_LIBRARY -u PYTHONPATH VX7SIM_STATE='" + sim.path() + "' LD_LIBRARY_PATH='" VX7SIM_LIBUSB_DIR "' ";

    // The loader takes libvx7 from the prefix, not from the build tree.
    const Output list = shell(env + "LD_DEBUG=libs '" + tool + "' list");
    EXPECT_EQ(list.status, 0) << list.text;
    EXPECT_NE(list.text.find("* ZANDRIVELO\tvx7 HID\n"), std::string::npos) << list.text;
    const std::size_t init = list.text.find("calling init: ");
    const std::size_t lib = list.text.find("libvx7.so.1", init);
    ASSERT_NE(lib, std::string::npos) << list.text;
    const std::size_t start = list.text.rfind("calling init: ", lib) + 14;
    EXPECT_EQ(fs::weakly_canonical(list.text.substr(start, lib + 11 - start)),
              fs::weakly_canonical(prefix + "/lib/libvx7.so.1"));

    // The module, with no VX7_LIBRARY: the library of its own installation,
    // unless the machine has a libvx7 of its own that the loader finds first.
    const std::string python = std::string(VX7_TEST_PRELOAD).empty() ? "/usr/bin/python3"
                                                                     : "LD_PRELOAD='" VX7_TEST_PRELOAD
                                                                       "' ASAN_OPTIONS=detect_leaks=0 /usr/bin/python3";
    const Output py =
        shell(env + "PYTHONPATH='" + prefix + "/share/vx7/python' " + python +
              " -c 'import vx7, ctypes.util; print(vx7.MAX_RANGE); print(ctypes.util.find_library(\"vx7\")); "
              "print(vx7.library_path); vx7.configure(chan=0, input=\"GND\")'");
    ASSERT_EQ(py.status, 0) << py.text;
    const std::string lines = py.text;
    EXPECT_EQ(lines.rfind("2.5\n", 0), 0u) << lines;
    if (lines.find("\nNone\n") != std::string::npos) {
        EXPECT_EQ(lines.substr(lines.find("\nNone\n") + 6), fs::path(prefix + "/lib/libvx7.so.1").string() + "\n");
    }
    EXPECT_EQ(sim.channel_config(0, 0).applied.input, vx7sim::Input::Gnd);
}

} // namespace
