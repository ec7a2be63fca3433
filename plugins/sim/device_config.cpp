// Parsing of create_device names. Every error message quotes what was given
// and lists what would have been accepted, since it reaches a Python user as
// the text of a RuntimeError.

#include "device_config.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace tavo::sim {

namespace {

struct OptionEntry {
    std::string_view key;
    std::uint64_t min;
    std::uint64_t max;
    std::string_view help;
};

constexpr std::uint64_t u32_max = std::numeric_limits<std::uint32_t>::max();

constexpr std::array<OptionEntry, 6> option_table{{
    {"memory", 0, max_memory_size, "bulk memory size in bytes (default 1048576)"},
    {"chunk", 1, max_chunk_size, "default stream chunk size in bytes (default 4096)"},
    {"rate", 0, u32_max, "RATE: chunks per second, 0 = unlimited (default 0)"},
    {"chunks", 0, u32_max, "CHUNKS: stream length in chunks, 0 = endless (default 0)"},
    {"view", 0, 1, "CONTROL bit 1: 1 = DataView chunks, 0 = OwnedData (default 0)"},
    {"error_every", 0, u32_max, "ERROR_EVERY, and CONTROL bit 0 when not 0: an Error after every N-th chunk (default 0)"},
}};

std::string device_id(unsigned index) { return "sim" + std::to_string(index); }

std::string valid_devices() {
    std::string text;
    for (unsigned i = 0; i < device_count; ++i) text += (i ? ", " : "") + device_id(i);
    return text;
}

std::string valid_options() {
    std::string text;
    for (const auto& option : option_table) {
        if (!text.empty()) text += ", ";
        text += option.key;
    }
    return text;
}

unsigned parse_device_id(std::string_view id) {
    for (unsigned i = 0; i < device_count; ++i) {
        if (id == device_id(i)) return i;
    }
    throw std::runtime_error("unknown device '" + std::string(id) + "'; valid devices: " + valid_devices());
}

const OptionEntry& find_option(std::string_view key) {
    for (const auto& option : option_table) {
        if (option.key == key) return option;
    }
    throw std::runtime_error("unknown option '" + std::string(key) + "'; valid options: " + valid_options());
}

// Decimal, or hexadecimal after 0x/0X. No sign, no suffix.
std::uint64_t parse_value(const OptionEntry& option, std::string_view text) {
    auto digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
    const auto range = std::to_string(option.min) + ".." + std::to_string(option.max);
    if (digits.empty() || ptr != end || (ec != std::errc{} && ec != std::errc::result_out_of_range)) {
        throw std::runtime_error("malformed value '" + std::string(text) + "' for option '" + std::string(option.key) +
                                 "'; expected an unsigned decimal or 0x-prefixed hexadecimal number in " + range);
    }
    if (ec == std::errc::result_out_of_range || value < option.min || value > option.max) {
        throw std::runtime_error("value " + std::string(text) + " out of range for option '" +
                                 std::string(option.key) + "'; valid range: " + range);
    }
    return value;
}

void assign(DeviceConfig& config, std::string_view key, std::uint64_t value) {
    if (key == "memory") config.memory_size = value;
    else if (key == "chunk") config.chunk_size = value;
    else if (key == "rate") config.rate = static_cast<std::uint32_t>(value);
    else if (key == "chunks") config.chunks = static_cast<std::uint32_t>(value);
    else if (key == "view") config.view = value != 0;
    else if (key == "error_every") config.error_every = static_cast<std::uint32_t>(value);
}

}  // namespace

DeviceConfig parse_device_name(const std::string& name) {
    const std::string_view text(name);
    const auto colon = text.find(':');
    DeviceConfig config;
    config.index = parse_device_id(text.substr(0, colon));
    if (colon == std::string_view::npos) return config;

    std::string seen = ",";  // ",key1,key2," to spot a repeated key
    std::string_view rest = text.substr(colon + 1);
    for (;;) {
        const auto comma = rest.find(',');
        const auto item = rest.substr(0, comma);
        const auto equals = item.find('=');
        if (equals == std::string_view::npos) {
            throw std::runtime_error("malformed option '" + std::string(item) + "' in '" + name +
                                     "'; expected key=value; valid options: " + valid_options());
        }
        const auto key = item.substr(0, equals);
        const auto& option = find_option(key);
        const auto marker = std::string(key) + ",";
        if (seen.find("," + marker) != std::string::npos) {
            throw std::runtime_error("option '" + std::string(key) + "' given twice in '" + name + "'");
        }
        seen += marker;
        assign(config, key, parse_value(option, item.substr(equals + 1)));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return config;
}

std::string device_list_text() {
    std::string text;
    for (unsigned i = 0; i < device_count; ++i) text += device_id(i) + "\tsimulated acquisition device\n";
    return text;
}

std::string device_options_text() {
    std::string text =
        "Device name syntax: <device>[:<key>=<value>[,<key>=<value>]...]\n"
        "  <device> is one of " +
        valid_devices() +
        "; each key at most once; values are unsigned decimal or 0x-prefixed hexadecimal.\n"
        "  Example: sim1:memory=65536,chunks=100,view=1\n"
        "Options:\n";
    for (const auto& option : option_table) {
        text += "  " + std::string(option.key) + "=<" + std::to_string(option.min) + ".." +
                std::to_string(option.max) + ">\t" + std::string(option.help) + "\n";
    }
    return text;
}

}  // namespace tavo::sim
