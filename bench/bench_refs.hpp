// The references of the Python-facing benchmarks, measured in native code so
// that a figure and its reference come from one interpreter run. Each
// returns the seconds its measured part took on the steady clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace bench {

// The simulator's own production: loads the plugin at `plugin`, starts a
// stream of `chunks` chunks of `chunk_size` bytes on a fresh device and
// frees every chunk in the sink, on the producer's thread, as it arrives.
// Runs without the interpreter lock. Throws std::runtime_error if the stream
// did not deliver exactly `chunks` data events.
double sim_production(const std::string& plugin, std::size_t chunk_size, std::uint64_t chunks);

// The delivery floor: a new native thread (no interpreter thread state)
// calls `callback(item, None)` `events` times, then `callback(None, None)`,
// taking the lock with a fresh thread state for each call, as the stream
// worker does, or, with kept_thread_state, keeping one thread state and
// taking only the lock per call. Called with the lock held; releases it while
// the thread runs.
double delivery_floor(const pybind11::object& callback, const pybind11::object& item, std::uint64_t events,
                      bool kept_thread_state);

}  // namespace bench
