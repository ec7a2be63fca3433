// Bind policy, key files and the ZAP handler.

#include "security.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <spdlog/spdlog.h>

#include <remote/curve_keys.hpp>

namespace tavo::server {

namespace {

// The host part of "tcp://HOST:PORT" ("[::1]" loses its brackets), or
// empty when the endpoint has no port.
std::string tcp_host(const std::string& endpoint) {
    const std::string rest = endpoint.substr(6);
    if (rest.starts_with("[")) {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return {};
        return rest.substr(1, close - 1);
    }
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) return {};
    return rest.substr(0, colon);
}

bool is_loopback_host(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;  // an interface name, a wildcard or another host
}

void write_file(const std::filesystem::path& path, const std::string& text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == EEXIST) throw std::runtime_error(path.string() + " exists; not overwriting a key");
        throw std::system_error(errno, std::generic_category(), "cannot create " + path.string());
    }
    const std::string line = text + "\n";
    const auto written = ::write(fd, line.data(), line.size());
    const int saved = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
        throw std::system_error(saved, std::generic_category(), "cannot write " + path.string());
    }
}

std::string frame_text(const zmq::message_t& frame) { return frame.to_string(); }

}  // namespace

std::string bind_refusal(const std::string& endpoint, bool encrypted, bool insecure) {
    if (endpoint.starts_with("ipc://")) {
        if (endpoint.size() == 6) return "refusing to bind " + endpoint + ": ipc:// needs a path";
        return {};
    }
    if (!endpoint.starts_with("tcp://")) {
        return "refusing to bind " + endpoint + ": only tcp://HOST:PORT and ipc://PATH endpoints are served";
    }
    const std::string host = tcp_host(endpoint);
    if (host.empty()) return "refusing to bind " + endpoint + ": expected tcp://HOST:PORT";
    if (encrypted || insecure || is_loopback_host(host)) return {};
    return "refusing to bind " + endpoint +
           " without keys: only loopback (127.0.0.1, ::1, localhost) and ipc:// endpoints are served "
           "unencrypted; give --curve-secret FILE --allow DIR to encrypt, or --insecure on a trusted network";
}

void check_binds(const std::vector<std::string>& endpoints, bool encrypted, bool insecure) {
    for (const auto& endpoint : endpoints) {
        const std::string refusal = bind_refusal(endpoint, encrypted, insecure);
        if (!refusal.empty()) throw std::runtime_error(refusal);
        if (!encrypted && endpoint.starts_with("tcp://") && !is_loopback_host(tcp_host(endpoint))) {
            spdlog::warn("serving {} unencrypted to anyone who can reach it (--insecure)", endpoint);
        }
    }
}

void write_key_pair(const std::filesystem::path& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) throw std::system_error(error, "cannot create " + dir.string());
    std::array<char, 41> public_key{}, secret_key{};
    if (zmq_curve_keypair(public_key.data(), secret_key.data()) != 0) {
        throw std::runtime_error("this libzmq cannot make CURVE keys (built without libsodium?)");
    }
    write_file(dir / "key", secret_key.data(), 0600);
    write_file(dir / "key.pub", public_key.data(), 0644);
    spdlog::info("wrote {} (secret, mode 0600) and {}", (dir / "key").string(), (dir / "key.pub").string());
}

std::set<std::string> read_allowed_keys(const std::filesystem::path& dir) {
    std::set<std::string> keys;
    std::error_code error;
    std::filesystem::directory_iterator entries(dir, error);
    if (error) throw std::system_error(error, "cannot read the --allow directory " + dir.string());
    for (const auto& entry : entries) {
        if (entry.path().extension() == ".pub" && entry.is_regular_file()) {
            keys.insert(tavo::wire::read_key_file(entry.path()));
        }
    }
    if (keys.empty()) spdlog::warn("{} holds no *.pub key: no client will be let in", dir.string());
    return keys;
}

Authenticator::Authenticator(zmq::context_t& context, std::set<std::string> allowed, std::filesystem::path allow_dir)
    : socket_(context, zmq::socket_type::rep), allowed_(std::move(allowed)), allow_dir_(std::move(allow_dir)) {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.bind("inproc://zeromq.zap.01");
    thread_ = std::jthread([this](std::stop_token stop) { serve(std::move(stop)); });
}

Authenticator::~Authenticator() {
    thread_.request_stop();
    wakeup_.signal();
    if (thread_.joinable()) thread_.join();
}

void Authenticator::serve(std::stop_token stop) {
    std::array<zmq::pollitem_t, 2> items{{{socket_.handle(), 0, ZMQ_POLLIN, 0},
                                          {nullptr, wakeup_.fd(), ZMQ_POLLIN, 0}}};
    while (!stop.stop_requested()) {
        try {
            zmq::poll(items.data(), items.size(), std::chrono::milliseconds(-1));
            if (items[0].revents & ZMQ_POLLIN) answer_one();
        } catch (const zmq::error_t& e) {
            if (e.num() == ETERM) return;
            spdlog::error("authentication handler: {}", e.what());
        }
    }
}

// One ZAP request (version, request id, domain, address, routing id,
// mechanism, credentials...) and its answer (version, request id, status
// code, status text, user id, metadata). The user id given to an accepted
// client is its public key, which the server then ties its session to.
void Authenticator::answer_one() {
    std::vector<zmq::message_t> request;
    do {
        request.emplace_back();
        if (!socket_.recv(request.back(), zmq::recv_flags::dontwait)) return;
    } while (request.back().more() && request.size() < 16);
    while (request.back().more()) {  // more frames than ZAP has: read and drop them
        zmq::message_t rest;
        if (!socket_.recv(rest, zmq::recv_flags::dontwait)) break;
        if (!rest.more()) break;
    }
    const std::string request_id = request.size() > 1 ? frame_text(request[1]) : std::string();
    const std::string address = request.size() > 3 ? frame_text(request[3]) : std::string("?");
    const std::string mechanism = request.size() > 5 ? frame_text(request[5]) : std::string();
    std::string user_id, status = "400", status_text = "client key not allowed";
    if (request.size() == 7 && frame_text(request[0]) == "1.0" && mechanism == "CURVE" && request[6].size() == 32) {
        char z85[41] = {};
        zmq_z85_encode(z85, request[6].data<std::uint8_t>(), 32);
        if (allowed_.contains(z85)) {
            user_id = z85;
            status = "200";
            status_text = "OK";
        } else {
            spdlog::warn("refused a client from {}: its key {} is not in {}", address, z85, allow_dir_.string());
        }
    } else {
        status_text = "CURVE expected";
        spdlog::warn("refused a client from {}: mechanism '{}' is not CURVE", address, mechanism);
    }
    const std::array<std::string, 6> reply{"1.0", request_id, status, status_text, user_id, ""};
    for (std::size_t i = 0; i < reply.size(); ++i) {
        socket_.send(zmq::buffer(reply[i]), i + 1 < reply.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
    }
}

}  // namespace tavo::server
