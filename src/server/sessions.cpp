// Ending streams and sessions: the plugin's code runs here, on the loop's
// thread, and whatever it throws is logged.

#include "sessions.hpp"

#include <spdlog/spdlog.h>

namespace tavo::server {

void end_stream(ServedStream& stream, std::uint64_t session_id) {
    if (!stream.handle) return;
    try {
        stream.handle->stop();
    } catch (const std::exception& e) {
        spdlog::warn("session {:016x}: stream {} failed to stop: {}", session_id, stream.id, e.what());
    } catch (...) {
        spdlog::warn("session {:016x}: stream {} failed to stop", session_id, stream.id);
    }
    stream.handle.reset();  // the plugin releases the sink; the channel stays with the stream
}

std::pair<std::size_t, std::size_t> end_session(Session& session) {
    const std::size_t streams = session.streams.size(), devices = session.devices.size();
    // Streams first: a device may be freed while its streams run, but a
    // stream's end must not wait for a device that is already gone.
    for (auto& [id, stream] : session.streams) end_stream(*stream, session.id);
    session.streams.clear();
    session.devices.clear();
    return {streams, devices};
}

}  // namespace tavo::server
