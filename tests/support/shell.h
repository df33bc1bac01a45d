// Runs a shell command line and collects what it prints, for tests of the
// installed tree (cmake --install, readelf, compilers, the installed tools).
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace vx7test {

struct ShellOutput {
    int status = -1;  // exit status; 128 + the signal's number when killed
    std::string text; // standard output and error together
};

inline ShellOutput shell(const std::string &command)
{
    ShellOutput o;
    FILE *p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return o;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        o.text.append(buf.data(), n);
    const int st = ::pclose(p);
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    return o;
}

} // namespace vx7test
