// Daemon control, Windows form: the lock and log paths under TEMP with the
// name-tail rules for "/", "\" and none, TEMP unset or too long, and (in a
// probe process) the stop handler on SIGINT and SIGTERM only, the working
// directory and the closed standard streams.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "vx7daemon/daemon.h"
#include "wintest.h"

namespace {

using namespace vx7test::win;

struct TailCase {
    const char *program;
    const char *lock; // expected, after TEMP (C:\t)
    const char *log;
};

const TailCase kTails[] = {
    {"C:\\dev\\drv.exe", "\\.log\\drv.exe.pid", "\\.log\\drv.exe.log"},
    {"drv.exe", "\\.logdrv.exe.pid", "\\.logdrv.exe.log"},
    {"C:/tools\\drv.exe", "\\.log/tools\\drv.exe.pid", "\\.log/tools\\drv.exe.log"},
    {"C:/a/b/vx7_driver_win.exe", "\\.log/vx7_driver_win.exe.pid", "\\.log/vx7_driver_win.exe.log"},
    {"..\\x\\y", "\\.log\\y.pid", "\\.log\\y.log"},
    {"", "\\.log.pid", "\\.log.log"},
};

class NameTail : public ::testing::TestWithParam<TailCase> {};

TEST_P(NameTail, PathsAreTempDotLogTailAndSuffix)
{
    set_env("TEMP", "C:\\t");
    make_dirs("C:\\t");
    EXPECT_EQ(dmn_find_files(GetParam().program), 0);
    EXPECT_EQ(std::string(DMN_LOCK_FILE), std::string("C:\\t") + GetParam().lock);
    EXPECT_EQ(std::string(DMN_LOG_FILE), std::string("C:\\t") + GetParam().log);
    EXPECT_TRUE(exists("C:\\t\\.log")) << "the .log directory is made";
}

INSTANTIATE_TEST_SUITE_P(Programs, NameTail, ::testing::ValuesIn(kTails));

TEST(DaemonPaths, TempUnsetFallsBackToThePlatformTemporaryDirectory)
{
    char platform[MAX_PATH + 1] = {};
    unset_env("TEMP");
    const DWORD n = ::GetTempPathA(sizeof platform, platform);
    ASSERT_GT(n, 0u);
    std::string dir(platform, n);
    if (dir.back() == '\\')
        dir.pop_back();
    EXPECT_EQ(dmn_find_files("C:\\x\\drv.exe"), 0);
    EXPECT_EQ(std::string(DMN_LOG_FILE), dir + "\\.log\\drv.exe.log");
    EXPECT_EQ(std::string(DMN_LOCK_FILE), dir + "\\.log\\drv.exe.pid");
}

TEST(DaemonPaths, PathsThatDoNotFitAreLeftEmpty)
{
    // TEMP alone fits; TEMP + "\.log" + tail + suffix does not.
    set_env("TEMP", "C:\\" + std::string(1010, 'd'));
    EXPECT_NE(dmn_find_files("C:\\x\\drv.exe"), 0);
    EXPECT_STREQ(DMN_LOG_FILE, "");
    EXPECT_STREQ(DMN_LOCK_FILE, "");

    // One byte below the limit is kept whole: 1023 characters + NUL.
    const std::string tail = "\\" + std::string(1023 - 4 - 5 - 1 - 4, 'n');
    set_env("TEMP", "C:\\t");
    EXPECT_EQ(dmn_find_files(("C:" + tail).c_str()), 0);
    EXPECT_EQ(std::strlen(DMN_LOG_FILE), 1023u);
    EXPECT_EQ(std::string(DMN_LOG_FILE), "C:\\t\\.log" + tail + ".log");
    // One more character no longer fits.
    EXPECT_NE(dmn_find_files(("C:" + tail + "n").c_str()), 0);
    EXPECT_STREQ(DMN_LOG_FILE, "");
}

// Runs the probe with the given command line and environment; returns its
// report.
std::map<std::string, std::string> run_probe(const std::string &args, const char *handler, const char *signal)
{
    make_dirs("C:\\probe");
    make_dirs("C:\\t");
    set_env("TEMP", "C:\\t");
    set_env("VX7_PROBE_OUT", "C:\\probe\\out.txt");
    set_env("VX7_PROBE_HANDLER", handler);
    set_env("VX7_PROBE_SIGNAL", signal);
    ::DeleteFileA("C:\\probe\\out.txt");

    // The probe lies beside this program.
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, sizeof self);
    std::string exe(self);
    exe = exe.substr(0, exe.find_last_of('\\')) + "\\win_daemon_probe.exe";
    std::string cmd = "\"" + exe + "\" " + args;

    // The probe's standard output and error go to a file.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = ::CreateFileA("C:\\probe\\stdout.txt", GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(::CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, "C:\\probe", &si, &pi));
    ::CloseHandle(out);
    ::WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 99;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    EXPECT_EQ(code, 0u);

    std::map<std::string, std::string> report;
    std::istringstream in(read_file("C:\\probe\\out.txt"));
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    report["exe"] = exe;
    report["stdout"] = read_file("C:\\probe\\stdout.txt");
    return report;
}

struct InitCase {
    const char *args;
    const char *handler;
    const char *signal;
    const char *running;      // right after dmn_init
    const char *after_signal; // after the signal was raised
    const char *own_calls;
};

// Whatever the command line ("stop" and "restart" included), dmn_init gives
// 0 and the program runs; the default handler on SIGINT and on SIGTERM clears
// the run flag; a caller's handler leaves it at 0 and is the one called.
const InitCase kInits[] = {
    {"", "default", "TERM", "1", "0", "0"},
    {"stop", "default", "INT", "1", "0", "0"},
    {"restart now", "default", "TERM", "1", "0", "0"},
    {"bogus", "own", "INT", "0", "0", "1"},
};

class DaemonInit : public ::testing::TestWithParam<InitCase> {};

TEST_P(DaemonInit, RunsInThisProcessWithTheStopHandler)
{
    const InitCase &c = GetParam();
    auto r = run_probe(c.args, c.handler, c.signal);
    EXPECT_EQ(r["rc"], "0");
    EXPECT_EQ(r["running"], c.running);
    EXPECT_EQ(r["after_signal"], c.after_signal);
    EXPECT_EQ(r["own_calls"], c.own_calls);
    EXPECT_EQ(r["others_untouched"], "1") << "only SIGINT and SIGTERM get the handler";
    EXPECT_EQ(r["stdout"], "before init\r\n") << "nothing comes out once the streams are closed";
    // "/" is the root of the current drive on Windows; wine takes it as the
    // root of the host's file system (Z:\). Either way, a drive's root.
    const std::string cwd = r["cwd"];
    EXPECT_TRUE(cwd.size() == 3 && cwd.substr(1) == ":\\") << cwd;
    const std::string tail = r["exe"].substr(r["exe"].find_last_of('\\'));
    EXPECT_EQ(r["log"], "C:\\t\\.log" + tail + ".log");
    EXPECT_EQ(r["lock"], "C:\\t\\.log" + tail + ".pid");
    EXPECT_FALSE(exists(r["lock"])) << "no lock file on this platform";
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DaemonInit, ::testing::ValuesIn(kInits));

} // namespace
