// CURVE key files, as tavo-server --keygen writes them and both ends read
// them: one Z85 text of 40 characters (a 32-byte key) per file, with or
// without a trailing newline.
//
//   DIR/key        a secret key, mode 0600
//   DIR/key.pub    its public key
//
// Threads: plain functions; they read files and nothing else.
#pragma once

#include <zmq.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace tavo::wire {

inline constexpr std::size_t z85_key_length = 40;

// Whether `text` is a Z85-encoded 32-byte key.
inline bool is_z85_key(const std::string& text) {
    unsigned char bytes[32];
    return text.size() == z85_key_length && zmq_z85_decode(bytes, text.c_str()) != nullptr;
}

// The key in `file`, checked. Throws std::runtime_error naming the file
// when it cannot be read or holds no key.
inline std::string read_key_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read key file " + file.string());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (!is_z85_key(text)) {
        throw std::runtime_error("not a key file (one 40-character Z85 key expected): " + file.string());
    }
    return text;
}

// The public key of a secret key, both Z85. Throws std::runtime_error if
// this libzmq has no CURVE.
inline std::string public_key_of(const std::string& secret) {
    char public_key[z85_key_length + 1] = {};
    if (zmq_curve_public(public_key, secret.c_str()) != 0) {
        throw std::runtime_error("this libzmq cannot derive CURVE keys (built without libsodium?)");
    }
    return public_key;
}

}  // namespace tavo::wire
