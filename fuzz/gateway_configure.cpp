// Fuzz target: the gateway's configure request (channel text and JSON body).
//
// The input is the channel as it appears in the path, a NUL, then the body.
// The answer must be 400 with a JSON {"error": text}, or, after a call of
// vx7_configure, 200 (result 0) or 502 (result 1-7) with the channel as
// users number it (the path's number, 1-4), the result and its meaning; a body that
// was taken must have been a JSON object of the four known fields only.
// (There is no device here, so a taken request answers 502, result 1.)
#include "fuzz_check.h"

#include "configure.h"

#include <nlohmann/json.hpp>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string channel = input.substr(0, nul);
    const std::string body = nul == std::string::npos ? std::string() : input.substr(nul + 1);

    const vx7::gateway::Reply r = vx7::gateway::configure_channel(channel, body);
    const nlohmann::json answer = nlohmann::json::parse(r.body, nullptr, false);
    FUZZ_CHECK(!answer.is_discarded() && answer.is_object());
    if (r.status == 400) {
        FUZZ_CHECK(answer.size() == 1 && answer.contains("error") && answer["error"].is_string() &&
                   !answer["error"].get<std::string>().empty());
        return 0;
    }
    FUZZ_CHECK(r.status == 200 || r.status == 502);
    // The channel: decimal digits only (leading zeros allowed, as vx7ctl
    // takes them), 1-4.
    FUZZ_CHECK(!channel.empty() && channel.size() < 20 && channel.find_first_not_of("0123456789") == std::string::npos);
    const unsigned long n = std::stoul(channel);
    FUZZ_CHECK(n >= 1 && n <= 4 && answer["channel"] == n);
    const int result = answer["result"].get<int>();
    FUZZ_CHECK(r.status == 200 ? result == 0 : result >= 1 && result <= 7);
    FUZZ_CHECK(answer["meaning"].is_string());
    const nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
    FUZZ_CHECK(!request.is_discarded() && request.is_object());
    for (const auto &[key, value] : request.items())
        FUZZ_CHECK(key == "freq_hz" || key == "range_volts" || key == "calibrate" || key == "input");
    return 0;
}
