// A build without yaml-cpp: no channel configuration files.
#include "vx7channelconfig/channel_config.h"

namespace vx7::channels {

bool available()
{
    return false;
}

std::string load(const std::string &path, vx7::lines::ChannelConfig &)
{
    return path + ": this build cannot read channel configuration files (it was built without yaml-cpp)";
}

std::string parse(std::string_view, const std::string &path, vx7::lines::ChannelConfig &out)
{
    return load(path, out);
}

} // namespace vx7::channels
