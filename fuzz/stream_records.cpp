// Fuzz target: the sample stream's handling of channel records.
//
// Four channel files of 100 bytes (spaces at first) in a private temporary
// directory; a stream is opened over them for each input. The input is a
// series of steps: one byte naming a channel (low two bits) and the 100
// bytes written over that file in place. Where those bytes carry a sequence
// word, its counter is set as the driver would move it (2 on from the
// file's last one), keeping only the input's choice of odd (a change under
// way) or even. After each step the stream is polled until it has nothing
// new. It must report the changed channel exactly when the record's state
// (no value, or the text before its NUL, as the record's one rule has it:
// record_oracle.h) differs from the state it last reported, never while the
// word is odd, never twice; and a reported sample must carry the record's
// own fields.
#include "fuzz_check.h"
#include "record_oracle.h"

#include "vx7/stream.h"
#include "vx7record/record.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace record = vx7::record;

namespace {

std::string temp_dir;
int fds[4] = {-1, -1, -1, -1};

void remove_temp_dir()
{
    for (int n = 1; n <= 4; ++n)
        (void)::unlink((temp_dir + "/adc" + std::to_string(n) + ".adc").c_str());
    (void)::rmdir(temp_dir.c_str());
}

void set_up()
{
    if (!temp_dir.empty())
        return;
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vx7-fuzz-stream.XXXXXX";
    FUZZ_CHECK(::mkdtemp(dir.data()) != nullptr);
    temp_dir = dir;
    std::atexit(remove_temp_dir);
    for (int n = 0; n < 4; ++n) {
        fds[n] = ::open((dir + "/adc" + std::to_string(n + 1) + ".adc").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        FUZZ_CHECK(fds[n] >= 0);
    }
}

void write_file(int n, const char *bytes)
{
    FUZZ_CHECK(::pwrite(fds[n], bytes, record::kSize, 0) == static_cast<ssize_t>(record::kSize));
}

// What the stream reports a record as: "no value", or its text up to the NUL.
struct State {
    bool has_value = false;
    std::string text;
    bool operator==(const State &) const = default;
};

State state_of(const char *rec)
{
    vx7fuzz::Expected e;
    State s;
    s.has_value = vx7fuzz::expected_value(rec, e);
    if (s.has_value)
        s.text.assign(rec, strnlen(rec, record::kSize));
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    set_up();
    char blank[record::kSize];
    std::memset(blank, ' ', sizeof blank);
    for (int n = 0; n < 4; ++n)
        write_file(n, blank);

    vx7_stream_options options{};
    options.dir = temp_dir.c_str();
    vx7_stream *stream = nullptr;
    FUZZ_CHECK(vx7_stream_open(&options, &stream) == VX7_STREAM_OK);

    State reported[4];             // all spaces: "no value", not reported
    std::uint32_t counter[4] = {}; // the files' last counters
    char content[4][record::kSize];
    for (auto &c : content)
        std::memcpy(c, blank, sizeof blank);

    for (std::size_t at = 0; at + 1 + record::kSize <= size; at += 1 + record::kSize) {
        const int n = data[at] & 3;
        char *rec = content[n];
        std::memcpy(rec, data + at + 1, record::kSize);
        std::uint64_t word = 0;
        std::memcpy(&word, rec + record::kSequenceOffset, sizeof word);
        if (record::counted(word)) {
            counter[n] = ((counter[n] + 2) & ~1u) | static_cast<std::uint32_t>(word & 1);
            word = std::uint64_t{record::kSequenceMagic} << 32 | counter[n];
            std::memcpy(rec + record::kSequenceOffset, &word, sizeof word);
        }
        write_file(n, rec);
        const bool changing = record::counted(word) && !record::settled(word);

        int reports = 0;
        vx7_sample s{};
        int rc = VX7_STREAM_OK;
        for (int polls = 0; polls < 8 && (rc = vx7_stream_next(stream, 0, &s)) == VX7_STREAM_OK; ++polls) {
            ++reports;
            FUZZ_CHECK(s.channel == n + 1);
            FUZZ_CHECK(!changing);
            const State now = state_of(rec);
            FUZZ_CHECK(s.has_value == (now.has_value ? 1 : 0));
            FUZZ_CHECK(!(now == reported[n]));
            reported[n] = now;
            if (s.has_value) {
                vx7fuzz::Expected e;
                FUZZ_CHECK(vx7fuzz::expected_value(rec, e));
                FUZZ_CHECK(std::memcmp(&s.volts, &e.volts, sizeof e.volts) == 0 && s.elapsed_ms == e.elapsed);
                FUZZ_CHECK(e.text == s.text);
            } else {
                FUZZ_CHECK(s.text[0] == '\0' && s.volts == 0.0 && s.elapsed_ms == 0);
            }
        }
        FUZZ_CHECK(rc == VX7_STREAM_TIMEOUT);
        FUZZ_CHECK(reports <= 1);
        // Not reported: either nothing changed, or the change is under way.
        if (reports == 0 && !changing)
            FUZZ_CHECK(state_of(rec) == reported[n]);
    }
    vx7_stream_close(stream);
    return 0;
}
