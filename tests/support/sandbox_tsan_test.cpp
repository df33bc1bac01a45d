// The ThreadSanitizer build's sandboxes: a report of a program inside (a
// daemon's standard error goes nowhere) reaches the test, printed when the
// sandbox ends, and the test program ends with status 66. Each case runs a
// sandbox in a child process that then ends normally.
#include "sandbox.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

TEST(SandboxUnderTsan, ReportsOfProgramsInsideFailTheTestProgram)
{
    const std::string helper = VX7_TSAN_RACE;
    struct Case {
        std::string command;
        int status;
        bool reported;
    };
    const Case cases[] = {
        {helper, 66, true},
        {helper + " --no-race", 0, false},
        {helper + " 2>/dev/null", 66, true}, // standard error going nowhere, as a daemon's
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        vx7test::TempDir dir;
        const std::string err = dir.file("stderr");
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (std::freopen(err.c_str(), "w", stderr) == nullptr)
                std::_Exit(127);
            {
                vx7test::SandboxOptions o;
                o.ro_binds = {std::filesystem::path(helper).parent_path().string()};
                vx7test::Sandbox sb(o);
                (void)sb.run(c.command);
            }
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        const std::string text = vx7test::read_file(err);
        EXPECT_EQ(text.find("WARNING: ThreadSanitizer: data race") != std::string::npos, c.reported) << text;
        EXPECT_EQ(text.find("tsan_race.cpp") != std::string::npos, c.reported) << text;
    }
}
