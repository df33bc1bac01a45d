// Whole-file reads and writes for tests, on Linux and under wine alike.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace vx7test {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

} // namespace vx7test
