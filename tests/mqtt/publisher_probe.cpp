// Runs the MQTT publisher in a process of its own, fed with samples on
// standard input, so that tests can kill it (the broker's will) and see what
// it prints. Arguments: the gateway's MQTT options and --allow-configure.
// Input lines: "CHANNEL ELAPSED_MS TEXT" for a sample, "CHANNEL -" for a
// "no value" sample. At the end of input it stops cleanly and prints
// "published N dropped N". Configuration requests are printed as
// "configure CHANNEL BODY" and answered {"result":0,"meaning":"OK"}.
#include "mqtt_publisher.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    vx7::mqtt::Config config;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--allow-configure") {
            config.allow_configure = true;
            continue;
        }
        if (!vx7::mqtt::is_option(name) || i + 1 >= argc) {
            std::fprintf(stderr, "vx7_mqtt_probe: unknown option or missing value: %s\n", name.c_str());
            return 2;
        }
        if (std::string e = vx7::mqtt::set_option(config, name, argv[++i]); !e.empty()) {
            std::fprintf(stderr, "vx7_mqtt_probe: %s\n", e.c_str());
            return 2;
        }
    }
    if (std::string e = vx7::mqtt::finish_config(config); !e.empty()) {
        std::fprintf(stderr, "vx7_mqtt_probe: %s\n", e.c_str());
        return 2;
    }
    vx7::mqtt::Publisher publisher(config, [](int channel, const std::string &body) {
        std::printf("configure %d %s\n", channel, body.c_str());
        std::fflush(stdout);
        return std::pair<int, std::string>{200, R"({"result":0,"meaning":"OK"})"};
    });
    if (std::string e = publisher.start(); !e.empty()) {
        std::fprintf(stderr, "vx7_mqtt_probe: %s\n", e.c_str());
        return 1;
    }
    std::printf("started\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        vx7_sample s{};
        char text[64] = {};
        unsigned long long elapsed = 0;
        if (std::sscanf(line.c_str(), "%d %llu %63s", &s.channel, &elapsed, text) == 3) {
            s.has_value = 1;
            s.elapsed_ms = elapsed;
            std::snprintf(s.text, sizeof s.text, "%.31s", text);
            s.volts = std::strtod(text, nullptr);
        } else if (std::sscanf(line.c_str(), "%d -", &s.channel) != 1) {
            continue;
        }
        s.wall_ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        publisher.publish(s);
    }
    publisher.stop();
    std::printf("published %llu dropped %llu\n", static_cast<unsigned long long>(publisher.published()),
                static_cast<unsigned long long>(publisher.dropped()));
    return 0;
}
