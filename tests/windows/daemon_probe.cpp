// Runs dmn_init_std in a process of its own (it closes the standard streams
// and changes the working directory) and reports what it saw, one
// "key=value" line each, to the file named by VX7_PROBE_OUT.
//   VX7_PROBE_HANDLER=own     pass a handler of the probe's instead of null;
//   VX7_PROBE_SIGNAL=INT|TERM the signal raised after dmn_init (TERM).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <direct.h>

#include "vx7daemon/daemon.h"

namespace {

volatile std::sig_atomic_t own_calls = 0;
void own_handler(int)
{
    own_calls = own_calls + 1;
}

bool untouched(int sig)
{
    return std::signal(sig, SIG_DFL) == SIG_DFL;
}

} // namespace

int main(int argc, char **argv)
{
    const char *out_path = std::getenv("VX7_PROBE_OUT");
    if (out_path == nullptr)
        return 2;
    static char out_name[1024];
    std::snprintf(out_name, sizeof out_name, "%s", out_path);
    const char *h = std::getenv("VX7_PROBE_HANDLER");
    const bool own = h != nullptr && std::strcmp(h, "own") == 0;
    const char *s = std::getenv("VX7_PROBE_SIGNAL");
    const int sig = s != nullptr && std::strcmp(s, "INT") == 0 ? SIGINT : SIGTERM;

    std::printf("before init\n");
    std::fflush(stdout);
    const int rc = dmn_init_std(argc, argv, own ? own_handler : nullptr);
    const int running_after_init = dmn_running();
    // Standard output is closed now: this must not come out anywhere.
    std::printf("written to a closed stream\n");
    std::fprintf(stderr, "written to a closed stream\n");
    const bool others_untouched = untouched(SIGABRT) && untouched(SIGBREAK) && untouched(SIGFPE);

    char cwd[1024] = {};
    (void)::_getcwd(cwd, sizeof cwd);

    std::raise(sig);
    const int running_after_signal = dmn_running();

    std::FILE *out = std::fopen(out_name, "wb");
    if (out == nullptr)
        return 3;
    std::fprintf(out,
                 "rc=%d\nrunning=%d\nafter_signal=%d\nothers_untouched=%d\ncwd=%s\nlock=%s\nlog=%s\n"
                 "own_calls=%d\n",
                 rc, running_after_init, running_after_signal, others_untouched ? 1 : 0, cwd, DMN_LOCK_FILE,
                 DMN_LOG_FILE, static_cast<int>(own_calls));
    std::fclose(out);
    return 0;
}
