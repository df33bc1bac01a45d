// The gateway's embedded files for the request fuzz target: a small page in
// place of the generated dashboard (which needs the chart library), so that
// the target builds from the gateway's sources alone. Looked up by name as
// the generated table is.
#include "assets.h"

namespace vx7::gateway {

namespace {

const unsigned char kPage[] = "<!doctype html><title>vx7</title>";
const Asset kAssets[] = {{"index.html", "text/html; charset=utf-8", kPage, sizeof kPage - 1}};

} // namespace

const Asset *find_asset(std::string_view name)
{
    for (const Asset &a : kAssets) {
        if (name == a.name)
            return &a;
    }
    return nullptr;
}

} // namespace vx7::gateway
