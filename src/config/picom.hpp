// The compositor's configuration file, generated from the settings, and the compositor restart.
#pragma once

#include "config/settings.hpp"
#include "util/result.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vop::picom {

// A text made safe inside the compositor file's double quotes: backslash, double quote and
// control characters escaped; anything else, UTF-8 included, unchanged.
std::string escape(std::string_view text);

// "~/x" becomes home/x when a home directory is known; other texts are returned unchanged.
std::string expand_home(std::string_view path, const std::optional<std::filesystem::path>& home);

// The complete file text for `config`; `home` expands "~/" in shader paths.
std::string generate(const Config& config, const std::optional<std::filesystem::path>& home);
// The same with the home directory of this process (HOME, else the password database).
std::string generate(const Config& config);

// Writes picom.conf into the configuration directory and restarts the compositor. The error is
// the system's text for a file that could not be written; compositor trouble is only logged.
Result<void, std::string> write_config(const Config& config);

// pkill picom (within the helper time limit), a short pause, then picom -b --config <path>; failures are
// logged, and a pkill that cannot be run or has to be killed starts no picom.
void restart(const std::filesystem::path& config_path);

}  // namespace vop::picom
