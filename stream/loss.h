// Records a stream did not see, counted from the channel files' sequence
// counters. Internal to libvx7stream (stream.cpp keeps one per channel).
//
// A driver's counter rises by 2 for every change of its file (a record
// published, or the file blanked when the driver stops or takes the file up
// at its start), so the changes between two records a reader sees are known
// exactly. The blank ends with the word itself set to spaces: the next
// record of that file counts again from 0. So the changes a reader missed are
//   * between two counted records of one driver run: half the counter's move
//     (modulo 2^32) less the record seen;
//   * after a state without counter (spaces, a file new to the stream, a
//     driver that keeps no counter): the new counter's half less the record
//     seen, plus the blank that must have come between when that state had a
//     value;
//   * when the counter went back (a move of 2^31 or more) or the elapsed
//     milliseconds did (another driver run, its blank unseen): the blank and
//     the new run's records before the one seen.
// Records a driver published just before a blank that the reader did not see
// cannot be counted: the blank takes the counter away.
#ifndef VX7_STREAM_LOSS_H
#define VX7_STREAM_LOSS_H

#include <cstdint>

namespace vx7::stream {

// Zero-filled (the stream is allocated so) it is a file's first look.
class Loss {
public:
    // What the next counted record is compared with.
    enum class Since : std::uint8_t {
        Nothing = 0, // the first look at a file that was there when the stream opened
        Counter,     // a counted record
        Zero         // a state without counter: the counter starts from 0
    };

    // The stream has just mapped a file: one present when it opened is the
    // start of its view, any later one is new (its counter starts at 0).
    void mapped(bool at_open)
    {
        since_ = at_open ? Since::Nothing : Since::Zero;
        unseen_blanks_ = 0;
    }

    // A whole record without counter was seen, with or without a value.
    void uncounted(bool has_value)
    {
        since_ = Since::Zero;
        unseen_blanks_ = has_value ? 1 : 0;
    }

    // A whole record with counter `counter` was seen; `elapsed` (with
    // `has_elapsed`) its elapsed milliseconds.
    void counted(std::uint32_t counter, bool has_elapsed, std::uint64_t elapsed)
    {
        const std::uint32_t records_since_zero = counter / 2;
        switch (since_) {
        case Since::Nothing:
            break;
        case Since::Zero:
            lost_ += unseen_blanks_ + (records_since_zero > 0 ? records_since_zero - 1 : 0);
            break;
        case Since::Counter: {
            const std::uint32_t moved = counter - counter_;
            const bool new_run = moved >= 0x80000000u || (has_elapsed && elapsed_known_ && elapsed < elapsed_);
            if (new_run)
                lost_ += records_since_zero;
            else if (moved >= 2)
                lost_ += moved / 2 - 1;
            break;
        }
        }
        since_ = Since::Counter;
        counter_ = counter;
        elapsed_known_ = has_elapsed;
        elapsed_ = elapsed;
    }

    [[nodiscard]] std::uint64_t lost() const { return lost_; }

private:
    Since since_;
    std::uint32_t counter_;
    std::uint32_t unseen_blanks_;
    bool elapsed_known_;
    std::uint64_t elapsed_;
    std::uint64_t lost_;
};

} // namespace vx7::stream

#endif
