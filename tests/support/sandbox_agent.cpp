// Runs inside a test sandbox as the first process after bubblewrap's init.
// It executes the commands the test sends and reports how every process in
// the sandbox ends, including daemons and other orphans: it is the sandbox's
// child subreaper, so those are reparented to it rather than to init.
//
// Protocol, one line each, on standard input and output:
//   in:  "<id> <shell command>"   run /bin/sh -c <command> in "/", standard
//                                 input /dev/null, output to /.sandbox/<id>.out
//                                 and /.sandbox/<id>.err
//   out: "DONE <id> <status>"     the command's shell ended
//        "EXIT <pid> <status>"    another process ended
// status: the exit code, or 128 + the signal number. End of input ends the
// agent, and with it the sandbox.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::map<pid_t, long> commands; // pid of a command's shell -> command id

void report(const char *line)
{
    std::fputs(line, stdout);
    std::fflush(stdout);
}

void reap()
{
    for (;;) {
        int st = 0;
        const pid_t pid = ::waitpid(-1, &st, WNOHANG);
        if (pid <= 0)
            return;
        const int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        char line[96];
        const auto it = commands.find(pid);
        if (it != commands.end()) {
            std::snprintf(line, sizeof line, "DONE %ld %d\n", it->second, status);
            commands.erase(it);
        } else {
            std::snprintf(line, sizeof line, "EXIT %d %d\n", static_cast<int>(pid), status);
        }
        report(line);
    }
}

void start(long id, const std::string &command)
{
    const std::string out = "/.sandbox/" + std::to_string(id) + ".out";
    const std::string err = "/.sandbox/" + std::to_string(id) + ".err";
    const pid_t pid = ::fork();
    if (pid < 0) {
        char line[64];
        std::snprintf(line, sizeof line, "DONE %ld 127\n", id);
        report(line);
        return;
    }
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        for (int fd : {in, o, e})
            if (fd > 2)
                ::close(fd);
        ::chdir("/");
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    commands[pid] = id;
}

} // namespace

int main()
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::fcntl(0, F_SETFD, FD_CLOEXEC);
    ::fcntl(1, F_SETFD, FD_CLOEXEC);
    std::string pending;
    char buf[4096];
    for (;;) {
        pollfd p{0, POLLIN, 0};
        const int r = ::poll(&p, 1, 2);
        if (r > 0) {
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                char *end = nullptr;
                const long id = std::strtol(line.c_str(), &end, 10);
                if (end != nullptr && *end == ' ')
                    start(id, std::string(end + 1));
            }
        } else if (r < 0 && errno != EINTR) {
            break;
        }
        reap();
    }
    return 0;
}
