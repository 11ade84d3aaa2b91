#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace torvex::testing {

// A private Xvfb server on a display number it chooses itself; stopped on destruction.
class VirtualDisplay {
public:
    // Whether /usr/bin/Xvfb is installed.
    static bool available();
    // Starts Xvfb with a 1920×1080 screen of `depth` bits and waits until it accepts clients; none
    // when Xvfb is missing or fails.
    static std::optional<VirtualDisplay> start(int depth = 24);

    VirtualDisplay(VirtualDisplay&& other) noexcept;
    VirtualDisplay& operator=(VirtualDisplay&&) = delete;
    ~VirtualDisplay();

    // ":<number>", for DISPLAY.
    const std::string& name() const { return name_; }

private:
    VirtualDisplay(pid_t pid, std::string name) : pid_(pid), name_(std::move(name)) {}

    pid_t pid_ = -1;
    std::string name_;
};

} // namespace torvex::testing
