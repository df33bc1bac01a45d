// The dashboard's files, embedded in the program at build time (the
// generated assets.cpp; see embed_assets.cmake).
#ifndef VX7_GATEWAY_ASSETS_H
#define VX7_GATEWAY_ASSETS_H

#include <cstddef>
#include <string_view>

namespace vx7::gateway {

struct Asset {
    const char *name;         // "index.html", "uPlot.min.js", ...
    const char *content_type; // "text/html; charset=utf-8", ...
    const unsigned char *data;
    std::size_t size;
};

// The asset of that name, or null.
const Asset *find_asset(std::string_view name);

} // namespace vx7::gateway

#endif
