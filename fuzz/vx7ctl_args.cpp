// Fuzz target: vx7ctl's argument parsing.
//
// The input is a command line: words separated by NUL bytes, the first
// choosing the parser (status, read, configure or record by its low two
// bits), the rest its arguments. Every parse must end with "OK" or a usage
// error, and a usage error must be the one line "vx7ctl: ... (see vx7ctl
// --help)" on standard error while an accepted line prints nothing. What an
// accepted line sets must lie in the ranges the commands rely on.
#include "fuzz_check.h"

#include "args.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// What the parser writes on standard error, caught in memory.
class CaughtStderr {
public:
    CaughtStderr() : saved_(stderr), file_(open_memstream(&buf_, &size_)) { stderr = file_; }
    ~CaughtStderr()
    {
        restore();
        std::free(buf_);
    }
    CaughtStderr(const CaughtStderr &) = delete;
    CaughtStderr &operator=(const CaughtStderr &) = delete;

    std::string text()
    {
        restore();
        return std::string(buf_ != nullptr ? buf_ : "", size_);
    }

private:
    void restore()
    {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
            stderr = saved_;
        }
    }
    FILE *saved_;
    char *buf_ = nullptr;
    std::size_t size_ = 0;
    FILE *file_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::vector<std::string> words{"vx7ctl", "command"};
    std::string word;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (size > 1)
        words.push_back(word);
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    vx7ctl::Args args(argc, argv.data(), 2);
    int rc = -1;
    std::string err;
    switch (data[0] & 3) {
    case 0: {
        vx7ctl::StatusOptions o;
        CaughtStderr caught;
        rc = vx7ctl::parse_status(args, o);
        err = caught.text();
        if (rc == vx7ctl::kOk) {
            FUZZ_CHECK(!o.programs.empty());
            for (const std::string &p : o.programs)
                FUZZ_CHECK(!p.empty() && p.find('/') == std::string::npos);
        }
        break;
    }
    case 1: {
        vx7ctl::ReadOptions o;
        CaughtStderr caught;
        rc = vx7ctl::parse_read(args, o);
        err = caught.text();
        if (rc == vx7ctl::kOk) {
            FUZZ_CHECK(o.channel >= 0 && o.channel <= vx7ctl::kChannels);
            FUZZ_CHECK(o.interval_ms >= 10 && o.interval_ms <= 3600000);
            FUZZ_CHECK(o.count <= 1000000000ULL && (o.count == 0 || o.watch));
        }
        break;
    }
    case 2: {
        vx7ctl::ConfigureOptions o;
        CaughtStderr caught;
        rc = vx7ctl::parse_configure(args, o);
        err = caught.text();
        if (rc == vx7ctl::kOk) {
            const auto &s = o.settings;
            FUZZ_CHECK(s.device_channel <= 3);
            FUZZ_CHECK(std::isfinite(s.range) && s.range >= 0.0f && s.range <= 2.5f);
            FUZZ_CHECK(s.calibrate <= 7 || s.calibrate == 0xFF);
            FUZZ_CHECK(s.input <= 3 || s.input == 0xFF);
        }
        break;
    }
    default: {
        vx7ctl::RecordOptions o;
        CaughtStderr caught;
        rc = vx7ctl::parse_record(args, o);
        err = caught.text();
        if (rc == vx7ctl::kOk) {
            FUZZ_CHECK(o.channel_mask != 0 && (o.channel_mask & ~0xFu) == 0);
            FUZZ_CHECK(std::isfinite(o.duration_s) && o.duration_s >= 0 && o.duration_s <= 366.0 * 24 * 3600);
            FUZZ_CHECK(o.count <= 1000000000000ULL);
            FUZZ_CHECK(o.existing == vx7ctl::RecordOptions::Existing::Refuse || !o.output.empty());
        }
        break;
    }
    }
    FUZZ_CHECK(rc == vx7ctl::kOk || rc == vx7ctl::kUsage);
    if (rc == vx7ctl::kOk) {
        FUZZ_CHECK(err.empty());
    } else {
        const std::string tail = " (see vx7ctl --help)\n";
        FUZZ_CHECK(err.rfind("vx7ctl: ", 0) == 0);
        FUZZ_CHECK(err.size() > tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0);
    }
    return 0;
}
