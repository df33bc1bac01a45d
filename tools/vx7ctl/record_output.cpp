#include "record_output.h"

#include "vx7samplefmt/sample_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx7ctl {

using namespace vx7::lines; // the sample lines shared with the gateway
namespace {

constexpr std::size_t kMaxFirstLine = 4096;

std::string with_reason(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

std::string RecordOutput::open(const RecordOptions &o)
{
    if (o.output.empty()) {
        fd_ = 1;
        name_ = "standard output";
        struct stat st {};
        regular_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
        return {};
    }
    name_ = o.output;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    switch (o.existing) {
    case RecordOptions::Existing::Refuse:
        flags |= O_EXCL;
        break;
    case RecordOptions::Existing::Overwrite:
        flags |= O_TRUNC;
        break;
    case RecordOptions::Existing::Append:
        flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC;
        break;
    }
    owned_.reset(::open(o.output.c_str(), flags, 0666));
    if (!owned_.valid()) {
        if (errno == EEXIST)
            return o.output + " exists (--append adds to it, --force overwrites it)";
        return with_reason("cannot open " + o.output);
    }
    fd_ = owned_.get();
    struct stat st {};
    if (fstat(fd_, &st) != 0)
        return with_reason("cannot open " + o.output);
    regular_ = S_ISREG(st.st_mode);
    if (o.existing == RecordOptions::Existing::Append && regular_ && st.st_size > 0)
        return check_appendable(o);
    return {};
}

// An existing file is added to only when it holds a recording of the same
// format, with a value column when (and only when) this one has one, that
// ends with a whole line.
std::string RecordOutput::check_appendable(const RecordOptions &o)
{
    char buf[kMaxFirstLine];
    ssize_t n;
    while ((n = pread(fd_, buf, sizeof buf, 0)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        return with_reason("cannot read " + name_);
    const std::string_view head(buf, static_cast<std::size_t>(n));
    const std::size_t newline = head.find('\n');
    const std::string_view first = head.substr(0, newline);
    const bool csv = o.format == RecordOptions::Format::Csv;
    const bool with_value = !o.channels_config.empty();
    const auto ok = [&](bool value) {
        return csv ? csv_first_line_ok(first, value) : jsonl_first_line_ok(first, value);
    };
    if (newline == std::string_view::npos || !ok(with_value)) {
        if (newline != std::string_view::npos && ok(!with_value))
            return name_ +
                   (with_value ? " has no value column (it was recorded without --channels-config)"
                               : " has a value column (it was recorded with --channels-config)") +
                   "; not adding to it";
        return name_ + " is not a " +
               (csv ? "CSV recording (its first line is not time,elapsed_ms,channel,volts)" : "JSON-lines recording") +
               "; not adding to it";
    }
    const off_t end = lseek(fd_, 0, SEEK_END);
    char last = '\n';
    if (end <= 0 || pread(fd_, &last, 1, end - 1) != 1)
        return with_reason("cannot read " + name_);
    if (last != '\n')
        return name_ + " does not end with a whole line; not adding to it";
    needs_header_ = false;
    return {};
}

bool RecordOutput::flush()
{
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            cut_back_to_whole_lines(done);
            errno = err;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    lines_written_ += static_cast<std::uint64_t>(std::count(pending_.begin(), pending_.end(), '\n'));
    pending_.clear();
    return true;
}

// After a write that stopped part-way through the pending lines: a regular
// file loses the part of a line it got, so that it ends with a whole line.
void RecordOutput::cut_back_to_whole_lines(std::size_t written)
{
    const std::string_view part(pending_.data(), written);
    const std::size_t last_newline = part.rfind('\n');
    const std::size_t whole = last_newline == std::string_view::npos ? 0 : last_newline + 1;
    lines_written_ +=
        static_cast<std::uint64_t>(std::count(part.begin(), part.begin() + static_cast<long>(whole), '\n'));
    if (!regular_ || whole == written)
        return;
    const off_t end = lseek(fd_, 0, SEEK_CUR);
    if (end >= 0)
        (void)ftruncate(fd_, end - static_cast<off_t>(written - whole));
}

bool RecordOutput::close()
{
    if (!flush())
        return false;
    if (owned_.valid() && ::close(owned_.release()) != 0)
        return false;
    return true;
}

} // namespace vx7ctl
