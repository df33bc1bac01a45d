// Where `vx7ctl record` writes: standard output, or a file that is created,
// overwritten (--force) or added to (--append), never overwritten by default.
//
// Lines are collected in a buffer and written with write(2): to a pipe or
// a terminal as soon as the stream has nothing more at hand, to a regular
// file at most 100 ms after they were seen (record.cpp decides). Only whole
// lines reach the file: when a write fails part-way (a full file system), a
// regular file is cut back to the end of its last whole line.
#ifndef VX7CTL_RECORD_OUTPUT_H
#define VX7CTL_RECORD_OUTPUT_H

#include "args.h"
#include "vx7common/unique_fd.h"

#include <cstdint>
#include <string>

namespace vx7ctl {

class RecordOutput {
public:
    // Opens the output `o` names; the empty string when it is ready,
    // otherwise the one-line reason (and nothing was created or changed).
    [[nodiscard]] std::string open(const RecordOptions &o);

    // Whether the CSV header is still to be written (a new or empty file,
    // standard output).
    [[nodiscard]] bool needs_header() const { return needs_header_; }

    // Lines not yet written; callers append whole lines.
    std::string &pending() { return pending_; }

    // Writes the pending lines. False on a write error, with errno set; what
    // the file holds is then whole lines.
    [[nodiscard]] bool flush();

    // Flushes and closes. False on an error, with errno set.
    [[nodiscard]] bool close();

    // Whether the output is a regular file (not a pipe or a terminal).
    [[nodiscard]] bool regular() const { return regular_; }

    // "standard output" or the file's name, for messages.
    [[nodiscard]] const std::string &name() const { return name_; }
    [[nodiscard]] std::uint64_t lines_written() const { return lines_written_; }

private:
    [[nodiscard]] std::string check_appendable(const RecordOptions &o);
    void cut_back_to_whole_lines(std::size_t written);

    vx7::UniqueFD owned_;
    int fd_ = -1;
    bool regular_ = false;
    bool needs_header_ = true;
    std::string name_;
    std::string pending_;
    std::uint64_t lines_written_ = 0;
};

} // namespace vx7ctl

#endif
