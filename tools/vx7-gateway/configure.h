// A channel's configuration from a JSON request body: the one place where the
// HTTP endpoint and the MQTT set topic turn a request into a vx7_configure
// call, so that both accept and refuse the same requests with the same words
// as vx7ctl configure.
#ifndef VX7_GATEWAY_CONFIGURE_H
#define VX7_GATEWAY_CONFIGURE_H

#include <string>
#include <string_view>

namespace vx7::gateway {

// An answer: HTTP status and a JSON body.
struct Reply {
    int status = 200;
    std::string body;
};

// Applies `body` (a JSON object with any of freq_hz, range_volts, calibrate,
// input, valued as vx7ctl configure takes them) to channel `channel` (text,
// 1-4 as users number channels). Answers
//   200 {"channel":N,"result":0,"meaning":"OK"} when vx7_configure succeeded,
//   502 with the same fields when the device refused (result 1-7),
//   400 {"error":"..."} for a bad channel (anything but "1"-"4"), body (not
//       JSON, a field given twice, no field) or value: nothing was sent.
// Calls are serialised: one configuration reaches the device at a time.
Reply configure_channel(std::string_view channel, std::string_view body);

// {"error": message}
std::string error_json(std::string_view message);

} // namespace vx7::gateway

#endif
