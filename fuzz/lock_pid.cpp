// Fuzz target: daemon control's reading of a lock file's content.
//
// The input is the whole content. parse_pid must accept exactly a decimal
// number without sign, spaces or leading zero, from 2 to the largest pid_t,
// and give its value (checked against strtoll on the same text); anything
// else is 0, never a number that would signal init or a process group.
// base_name on the same bytes taken as a path must be what follows the last
// "/".
#include "fuzz_check.h"

#include "vx7daemon/lockfile_posix.h"

#include <cerrno>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const pid_t pid = vx7::daemon::parse_pid(text);

    long long want = 0;
    const bool digits_only = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits_only && text[0] != '0') {
        errno = 0;
        const long long v = std::strtoll(text.c_str(), nullptr, 10);
        if (errno == 0 && v >= 2 && v <= 0x7FFFFFFF)
            want = v;
    }
    FUZZ_CHECK(pid == want);

    const std::string_view base = vx7::daemon::base_name(text);
    const auto slash = text.rfind('/');
    FUZZ_CHECK(base ==
               (slash == std::string::npos ? std::string_view(text) : std::string_view(text).substr(slash + 1)));
    return 0;
}
