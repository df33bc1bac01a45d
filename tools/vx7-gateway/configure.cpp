#include "configure.h"

#include "vx7/vx7.h"
#include "vx7settings/settings.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

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

// The channel check's refusal, quoting `channel` as the client wrote it.
std::string bad_channel(std::string_view channel)
{
    std::uint8_t unused = 0;
    std::string e = settings::check_channel("channel", "0", unused); // "... not '0'"
    e.resize(e.size() - 2);
    return e + std::string(channel) + "'";
}

// A parse callback that notes the first key an object gives twice (the
// JSON parser would keep the last one silently).
nlohmann::json::parser_callback_t duplicate_keys(std::string &duplicate)
{
    auto keys = std::make_shared<std::vector<std::set<std::string>>>();
    return [keys, &duplicate](int, nlohmann::json::parse_event_t event, nlohmann::json &parsed) {
        using E = nlohmann::json::parse_event_t;
        if (event == E::object_start)
            keys->emplace_back();
        else if (event == E::object_end && !keys->empty())
            keys->pop_back();
        else if (event == E::key && !keys->empty() && !keys->back().insert(parsed.get<std::string>()).second &&
                 duplicate.empty())
            duplicate = parsed.get<std::string>();
        return true;
    };
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
    // One digit as users write channels: "01" or an escape of a digit is
    // not a channel.
    if (channel.size() != 1 || !settings::check_channel("channel", channel, s.device_channel).empty())
        return {400, error_json(bad_channel(channel))};

    std::string duplicate;
    const nlohmann::json j = nlohmann::json::parse(body, duplicate_keys(duplicate), false);
    if (j.is_discarded())
        return {400, error_json("the body is not valid JSON")};
    if (!duplicate.empty())
        return {400, error_json("field '" + duplicate + "' given more than once")};
    if (!j.is_object())
        return {400, error_json("the body must be a JSON object")};
    if (j.empty())
        return {400, error_json("the body sets nothing (freq_hz, range_volts, calibrate, input)")};

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
