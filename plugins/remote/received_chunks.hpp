// Received stream chunks handed on without a copy.
//
// A chunk arrives as a ZeroMQ message; the sink gets an OwnedData whose
// bytes are the message's own. The OwnedData's release is a plain function
// of the byte pointer only, so the message is found again from its bytes: a
// process-wide table maps each handed-out pointer to the message that owns
// it. Releasing closes the message, which lets ZeroMQ free the bytes.
//
// Threads: own_message runs on a stream's receiver thread, the release on
// whatever thread drops the chunk (often a Python thread, at any time, also
// after the stream, the device and the manager are gone). One mutex guards
// the table; the table and its mutex are never destroyed, so a release
// during the process's exit still finds them.
#pragma once

#include <zmq.hpp>

#include <tavo/stream_events.hpp>

namespace tavo::remote {

// An OwnedData that owns `message` (moved in). An empty message gives an
// OwnedData without bytes.
tavo::DataStream::Events::OwnedData own_message(zmq::message_t&& message);

// The OwnedData release of own_message's chunks.
void release_received(unsigned char* bytes) noexcept;

}  // namespace tavo::remote
