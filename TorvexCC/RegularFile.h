#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace torvex::cc {

struct RegularFileRead {
    enum class Fault { none, cannotOpen, notRegular, cannotRead, tooLarge };
    Fault fault = Fault::none;
    std::string bytes;  // the whole file when `fault` is none
};

// The bytes of the regular file at `path`, at most `limit` of them. Never blocks: a FIFO or a
// device is refused, not read.
RegularFileRead readRegularFile(const std::filesystem::path& path, std::size_t limit);

} // namespace torvex::cc
