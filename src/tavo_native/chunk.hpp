// Chunk: the bytes of one piece of a pulled stream, handed to Python without
// a copy.
//
// A Chunk owns the piece (the device's own chunk with its release function,
// or a share of an aligned stream's chunk or accumulation buffer) and a share
// of the device handle's keep_alive, since the release function may be code
// of the plugin library. It exports the bytes through the buffer protocol
// (one writable dimension of unsigned bytes); an export holds the Chunk, so
// the bytes live until the Chunk and every export of it are gone. They are
// freed on the thread that drops the last reference, with the interpreter
// lock held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "tavo/pull_queue.hpp"

namespace tavo_native {

// Adds the Chunk type to `module`. False with an error set on failure.
bool add_chunk_type(PyObject* module);

// A new Chunk exporting the piece's bytes from `offset` on, which takes the
// piece over. Null with MemoryError set, the piece left as it was.
PyObject* new_chunk(tavo::DataStream::Pulled::Data& piece, std::uint64_t offset,
                    const std::shared_ptr<const void>& keep_alive);
// Moves the piece of a Chunk nobody has seen back out of it.
void take_back(PyObject* chunk, tavo::DataStream::Pulled::Data& piece) noexcept;

}  // namespace tavo_native
