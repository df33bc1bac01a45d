// Fuzz target: the transport's decode of a USB string descriptor.
//
// Input: two bytes give the byte count the read returned (as a signed
// 16-bit value, so negative and over-long counts occur), the rest is the
// descriptor buffer (256 bytes, zero-filled as the transport fills it).
// The result must be terminated within its 128 characters, hold only
// Unicode scalar values, and encode back to the descriptor's code units
// with each lone surrogate replaced by U+FFFD, as far as it goes (at most
// 127 characters, no further than the count allows, up to a NUL unit).
#include "fuzz_check.h"

#include "string_descriptor.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace hid = vx7::hid;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int count = static_cast<std::int16_t>(data[0] | data[1] << 8);
    unsigned char raw[hid::kRawSize] = {};
    std::memcpy(raw, data + 2, size - 2 < sizeof raw ? size - 2 : sizeof raw);

    wchar_t out[hid::kStringChars];
    std::wmemset(out, L'#', hid::kStringChars);
    hid::decode_string(raw, count, out);

    std::size_t n = 0;
    while (n < hid::kStringChars && out[n] != L'\0')
        ++n;
    FUZZ_CHECK(n < hid::kStringChars);

    // The code units the count covers up to the first NUL, lone surrogates
    // replaced.
    const int bytes = count > hid::kRawSize ? hid::kRawSize : count;
    const std::size_t units = bytes < 4 ? 0 : static_cast<std::size_t>(bytes / 2 - 1);
    std::vector<unsigned> expected;
    for (std::size_t i = 0; i < units; ++i) {
        const unsigned u = raw[2 + 2 * i] | static_cast<unsigned>(raw[3 + 2 * i]) << 8;
        if (u == 0)
            break; // the wide string ends at a NUL character
        const unsigned next = i + 1 < units ? (raw[4 + 2 * i] | static_cast<unsigned>(raw[5 + 2 * i]) << 8) : 0;
        if (u >= 0xD800 && u <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            expected.push_back(u);
            expected.push_back(next);
            ++i;
        } else {
            expected.push_back(u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
        }
    }

    // Encode what was decoded back to UTF-16 and compare.
    std::vector<unsigned> encoded;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::uint32_t>(out[i]);
        FUZZ_CHECK(c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF));
        if (c >= 0x10000) {
            encoded.push_back(0xD800 + ((c - 0x10000) >> 10));
            encoded.push_back(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            encoded.push_back(c);
        }
    }
    FUZZ_CHECK(encoded.size() <= expected.size());
    FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), expected.begin()));
    // Stopped early only for lack of room: 127 characters decoded.
    FUZZ_CHECK(encoded.size() == expected.size() || n == hid::kStringChars - 1);
    return 0;
}
