// Tests of the alignment stage that the fuzz target cannot reach: what it
// does when memory runs out while a consumer keeps its pieces.
//
// Allocation failure is injected by replacing the global operator new of
// this executable: while `fail_from` is set, every allocation of at least
// that many bytes fails. ThreadSanitizer's runtime defines operator new
// itself (the test is single-threaded: it has nothing to find here), so
// there the test is skipped.
#include "tavo/alignment_stage.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
#define TAVO_TEST_OWN_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVO_TEST_OWN_NEW 0
#endif
#endif
#ifndef TAVO_TEST_OWN_NEW
#define TAVO_TEST_OWN_NEW 1
#endif

namespace {

std::atomic<std::size_t> fail_from{0};

}  // namespace

#if TAVO_TEST_OWN_NEW

// The replacement pair allocates with malloc and frees with free, which GCC
// cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    const std::size_t limit = fail_from.load(std::memory_order_relaxed);
    if (limit != 0 && size >= limit) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

namespace events = tavo::DataStream::Events;
using tavo::DataStream::Event;

unsigned char pattern(std::uint64_t position) { return static_cast<unsigned char>(position * 7 + 3); }

Event owned_chunk(std::uint64_t start, std::uint64_t size) {
    auto* bytes = new unsigned char[size];
    for (std::uint64_t i = 0; i < size; ++i) bytes[i] = pattern(start + i);
    return events::OwnedData{{bytes, &tavo::DataStream::release_array}, size};
}

// A piece kept because an export outlived its callback makes the stage move
// to a fresh accumulation buffer. When that buffer cannot be had, the stage
// carries on in the kept one; once memory is back, the bytes carried so far
// must come along into the fresh buffer, not be left behind for zeros.
TEST(AlignmentStage, CarriedBytesSurviveAFailedBufferAllocation) {
    if (!TAVO_TEST_OWN_NEW) GTEST_SKIP() << "the sanitizer's runtime owns operator new";
    constexpr std::uint64_t alignment = 1 << 20;
    std::vector<unsigned char> received;
    received.reserve(2 * alignment);  // the consumer's own bookkeeping must not meet the injected failure
    std::vector<std::shared_ptr<const void>> kept;
    kept.reserve(4);
    tavo::DataStream::AlignmentStage* stage = nullptr;
    tavo::DataStream::AlignmentStage aligner(alignment, [&](Event&& event) {
        if (event.index() != 3) return;
        const auto& piece = std::get<3>(event);
        received.insert(received.end(), piece.data, piece.data + piece.size);
        if (auto owner = stage->keep_piece()) kept.push_back(std::move(owner));  // an export outlives the call
    });
    stage = &aligner;

    aligner(owned_chunk(0, 10));  // carried
    auto whole = owned_chunk(10, alignment);
    fail_from = alignment;  // no fresh buffer for the 10 bytes carried after the kept piece
    aligner(std::move(whole));
    fail_from = 0;
    aligner(owned_chunk(10 + alignment, 5));  // memory is back: a fresh buffer takes over the carry
    aligner(Event(std::in_place_index<0>));  // the final, shorter piece

    ASSERT_EQ(received.size(), alignment + 15);
    std::uint64_t mismatches = 0;
    for (std::uint64_t i = 0; i < received.size(); ++i) mismatches += received[i] != pattern(i);
    EXPECT_EQ(mismatches, 0u);
}

}  // namespace
