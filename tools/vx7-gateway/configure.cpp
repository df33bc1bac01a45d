#include "configure.h"

#include "settings.h"
#include "vx7/vx7.h"

#include <nlohmann/json.hpp>

#include <mutex>

namespace vx7::gateway {

namespace {

std::mutex g_configure_mu;

// The text a settings check sees for a JSON value: a string as it is, any
// other value as JSON writes it (2.5, 1000, true), so that the message quotes
// what the client sent.
std::string value_text(const nlohmann::json &v)
{
    return v.is_string() ? v.get<std::string>() : v.dump();
}

} // namespace

std::string error_json(std::string_view message)
{
    // Messages quote what the client sent, which need not be UTF-8 (a
    // channel of "%C1" in the path): invalid bytes become U+FFFD instead of
    // an exception.
    return nlohmann::json{{"error", std::string(message)}}.dump(-1, ' ', false,
                                                                nlohmann::json::error_handler_t::replace);
}

Reply configure_channel(std::string_view channel, std::string_view body)
{
    settings::Settings s;
    if (std::string e = settings::check_channel("channel", channel, s.device_channel); !e.empty())
        return {400, error_json(e)};

    const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    if (j.is_discarded())
        return {400, error_json("the body is not valid JSON")};
    if (!j.is_object())
        return {400, error_json("the body must be a JSON object")};

    for (const auto &[key, value] : j.items()) {
        const std::string text = value_text(value);
        std::string e;
        // Numbers only where vx7ctl takes numbers: a JSON string "1000" is
        // taken as well, since the checks see the same text either way.
        if (key == "freq_hz")
            e = settings::check_freq(key, text, s.freq);
        else if (key == "range_volts")
            e = settings::check_range(key, text, s.range);
        else if (key == "calibrate")
            e = settings::check_calibrate(key, text, s.calibrate);
        else if (key == "input")
            e = settings::check_input(key, text, s.input);
        else
            e = "unknown field '" + key + "' (freq_hz, range_volts, calibrate, input)";
        if (!e.empty())
            return {400, error_json(e)};
    }

    int code = 0;
    {
        std::lock_guard lock(g_configure_mu);
        code = static_cast<unsigned char>(vx7_configure(s.device_channel, s.freq, s.range, s.calibrate, s.input));
    }
    const nlohmann::json reply = {{"channel", s.device_channel + 1},
                                  {"result", code},
                                  {"meaning", settings::configure_meaning(static_cast<unsigned>(code))}};
    return {code == 0 ? 200 : 502, reply.dump()};
}

} // namespace vx7::gateway
