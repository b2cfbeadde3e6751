// A display number with no X server: reserved by its lock file, optionally listening without answering.
#pragma once

#include "process.hpp"

#include <string>

namespace vop::test {

// Takes a free display number the way X servers do (an exclusive /tmp/.X<N>-lock holding our pid), so no
// server started meanwhile takes it. With `listen`, an abstract socket where clients connect to that display
// accepts connections but never answers: pointing DISPLAY at it shows whether a program connects at all.
// Without it, DISPLAY names no server.
class ReservedDisplay {
public:
    explicit ReservedDisplay(bool listen);
    ~ReservedDisplay();
    ReservedDisplay(const ReservedDisplay&) = delete;
    ReservedDisplay& operator=(const ReservedDisplay&) = delete;

    std::string display() const { return ":" + std::to_string(number_); }
    // Accepts (and closes) one pending connection; false when none came within `timeout`.
    bool accept_connection(Millis timeout);

private:
    int number_ = -1;
    int listen_fd_ = -1;
    std::string lock_path_;
};

}  // namespace vop::test
