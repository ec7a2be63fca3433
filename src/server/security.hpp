// Every security decision of tavo-server, in one place: which endpoints may
// be served without keys, which keys let a client in, and the key files.
//
// Without keys the server binds only loopback and ipc:// endpoints (anything
// reachable from elsewhere would be an open door to the devices), unless the
// operator says --insecure. With --curve-secret, traffic is encrypted with
// CURVE and a ZAP handler lets in only the clients whose public keys are in
// the --allow directory. Every refusal is logged.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include <remote/wakeup.hpp>

namespace tavo::server {

// Why `endpoint` may not be bound, in one line; empty when it may.
// `encrypted`: the server has CURVE keys. `insecure`: --insecure was given.
std::string bind_refusal(const std::string& endpoint, bool encrypted, bool insecure);

// Checks every endpoint with bind_refusal; throws std::runtime_error with
// the first refusal. An endpoint reachable from other machines served
// without encryption (--insecure) is logged as a warning.
void check_binds(const std::vector<std::string>& endpoints, bool encrypted, bool insecure);

// --keygen DIR: writes DIR/key (the secret key, mode 0600) and DIR/key.pub,
// creating DIR (mode 0700) if needed. Refuses to overwrite an existing key.
// Throws std::runtime_error.
void write_key_pair(const std::filesystem::path& dir);

// The public keys in the *.pub files of `dir` (Z85). Throws
// std::runtime_error for an unreadable directory or a file that holds no key.
std::set<std::string> read_allowed_keys(const std::filesystem::path& dir);

// The ZAP handler: answers the library's authentication requests for every
// CURVE socket of `context`, letting in the keys of `allowed` only. A
// connection it refuses fails its handshake; the client is told.
//
// Threads: one thread of its own, started by the constructor (after the
// handler's socket is bound, so no handshake can miss it) and joined by the
// destructor. Construct it before binding any CURVE socket.
class Authenticator {
public:
    Authenticator(zmq::context_t& context, std::set<std::string> allowed, std::filesystem::path allow_dir);
    ~Authenticator();
    Authenticator(const Authenticator&) = delete;
    Authenticator& operator=(const Authenticator&) = delete;

private:
    void serve(std::stop_token stop);
    void answer_one();

    zmq::socket_t socket_;  // REP on inproc://zeromq.zap.01; used only by the thread once it runs
    const std::set<std::string> allowed_;
    const std::filesystem::path allow_dir_;
    tavo::wire::Wakeup wakeup_;
    std::jthread thread_;  // last: starts when everything it uses exists
};

}  // namespace tavo::server
