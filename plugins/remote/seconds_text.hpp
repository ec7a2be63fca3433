// A number of seconds written as text ("0.5", "30"), as both ends of the
// remote link take it from their users: the client's TAVO_REMOTE_TIMEOUT and
// tavo-server's options. Each end checks the range it allows.
#pragma once

#include <cmath>
#include <exception>
#include <optional>
#include <string>

namespace tavo::wire {

// The whole of `text` read as a finite decimal number; empty when it is
// not one (trailing characters included).
inline std::optional<double> seconds_from_text(const std::string& text) {
    std::size_t used = 0;
    double seconds = 0;
    try {
        seconds = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || !std::isfinite(seconds)) return std::nullopt;
    return seconds;
}

}  // namespace tavo::wire
