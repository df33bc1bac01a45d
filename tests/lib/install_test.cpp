// The installed libvx7 as client programs meet it: `cmake --install` into a
// private prefix, the files and links it puts there, the library's dynamic
// symbols and needed libraries, and a C program built with gcc against the
// installed header and -lvx7 found through pkg-config, run against the
// simulated device in a sandbox.
#include "channel_files.h"
#include "sandbox.h"
#include "shell.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

using Output = vx7test::ShellOutput;
using vx7test::shell;

std::set<std::string> words(const std::string &text)
{
    std::set<std::string> s;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        s.insert(w);
    return s;
}

// One installation for all tests of this program.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new vx7test::TempDir();
        prefix = dir->file("prefix");
        const auto r = shell("cmake --install '" VX7_TEST_BINARY_DIR "' --prefix '" + prefix + "'");
        install_ok = r.status == 0;
        install_log = r.text;
    }
    static void TearDownTestSuite()
    {
        delete dir;
        dir = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(install_ok) << install_log; }

    static std::string lib(const std::string &name) { return prefix + "/" VX7_TEST_LIBDIR "/" + name; }

    static inline vx7test::TempDir *dir = nullptr;
    static inline std::string prefix;
    static inline bool install_ok = false;
    static inline std::string install_log;
};

} // namespace

TEST_F(Installed, FilesAndLinks)
{
    EXPECT_TRUE(fs::is_regular_file(lib("libvx7.so.1")));
    ASSERT_TRUE(fs::is_symlink(lib("libvx7.so")));
    EXPECT_EQ(fs::read_symlink(lib("libvx7.so")), "libvx7.so.1");
    EXPECT_TRUE(fs::is_regular_file(prefix + "/include/vx7/vx7.h"));
    EXPECT_TRUE(fs::is_regular_file(lib("pkgconfig/vx7.pc")));

    const auto soname = shell("readelf -d '" + lib("libvx7.so.1") + "'");
    EXPECT_NE(soname.text.find("Library soname: [libvx7.so.1]"), std::string::npos) << soname.text;
}

TEST_F(Installed, ExportsExactlyTheTwelveNames)
{
    const auto r = shell("nm -D --defined-only '" + lib("libvx7.so.1") + "' | awk '{print $3}'");
    ASSERT_EQ(r.status, 0) << r.text;
    const std::set<std::string> expected = {"vx7_reinit",    "vx7_configure", "vx7_read",       "vx7_help",
                                            "VX7_MAX_RANGE", "HidOpenDevice", "HidCloseDevice", "HidIsConnected",
                                            "HidSendArr",    "HidReceiveArr", "memfile_create", "memfile_close"};
    EXPECT_EQ(words(r.text), expected);
}

TEST_F(Installed, NeedsOnlyLibusbAndLibc)
{
    const auto r = shell("readelf -d '" + lib("libvx7.so.1") + "' | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'");
    ASSERT_EQ(r.status, 0) << r.text;
    std::set<std::string> needed = words(r.text);
#if VX7_TEST_SANITIZE
    // The sanitizer build adds its run-time libraries, and nothing else.
    std::erase_if(needed,
                  [](const std::string &n) { return n.starts_with("libasan.so") || n.starts_with("libubsan.so"); });
#endif
    EXPECT_EQ(needed, (std::set<std::string>{"libc.so.6", "libusb-0.1.so.4"}));
}

// gcc, the installed header and -lvx7 through pkg-config; the header also
// compiles as C++. The program calls every export against the simulated
// device and a channel file of the sandbox's own /home/dev.
TEST_F(Installed, CProgramBuiltWithPkgConfigCallsEveryExport)
{
    const std::string pc = "PKG_CONFIG_PATH='" + lib("pkgconfig") + "' pkg-config";
    const auto flags = shell(pc + " --cflags --libs vx7");
    ASSERT_EQ(flags.status, 0) << flags.text;
    EXPECT_NE(flags.text.find("-lvx7"), std::string::npos) << flags.text;

    const std::string exe = dir->file("client");
    const std::string sanitize = VX7_TEST_SANITIZE ? " -fsanitize=address,undefined" : "";
    const auto cc = shell("gcc -std=c11 -Wall -Wextra -Werror" + sanitize + " -o '" + exe +
                          "' '" VX7_TEST_CLIENT_SOURCE "' $(" + pc + " --cflags --libs vx7)");
    ASSERT_EQ(cc.status, 0) << cc.text;
    const auto cxx = shell("g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -x c++ '" VX7_TEST_CLIENT_SOURCE "' $(" +
                           pc + " --cflags vx7)");
    EXPECT_EQ(cxx.status, 0) << cxx.text;

    vx7test::SandboxOptions o;
    o.ro_binds = {prefix, dir->path().string(), VX7SIM_LIBUSB_DIR};
    o.dirs = {"/sim", "/home/dev/vx7", "/work"};
    o.env = {{"LD_LIBRARY_PATH", lib("") + ":" VX7SIM_LIBUSB_DIR}, {"VX7SIM_STATE", "/sim/state"}};
    vx7test::Sandbox sb(o);
    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    sb.write("/home/dev/vx7/adc1.adc", vx7test::driver_file(1.25, 10));

    const auto r = sb.run("'" + exe + "' exports /work");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    // configure (5 reports), reinit, and the program's own HidSendArr.
    EXPECT_EQ(sim.commands(dev).size(), 7u);
    EXPECT_EQ(sim.counters(dev).open_handles(), 0);
}
