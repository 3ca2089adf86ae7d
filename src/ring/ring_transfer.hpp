// Moving one message in or out of a ring object, shared by the polling, waiting and bulk
// members: how the payload is written and published, and how the next frame is taken out as
// bytes or decoded by a tag or schema.
#pragma once

#include <span>
#include <string_view>

#include "../mixed/typed_list.hpp"
#include "../py/gate_hooks.hpp"
#include "ring_object.hpp"

namespace kelparine::ring_object {

// How a call hands its store of a counter to the other side: push and pop only store (no system
// call ever); the waiting and bulk members also wake a peer that may be parked on the old value.
enum class Handoff : bool { Quiet, Waking };

// A long frame's copy, with the interpreter lock given up (out of line: the short path stays lean).
[[gnu::cold, gnu::noinline]] void write_frame_unlocked(RingState& state, const FrameSlot& slot,
                                                     std::span<const std::byte> payload) noexcept;
// A long payload's copy-out, likewise.
[[gnu::cold, gnu::noinline]] void copy_payload_unlocked(RingState& state, const FrameRef& frame, std::byte* into) noexcept;

// Writes the frame into its slot (prefix and payload); a long one with the interpreter lock
// given up (`payload` must be pinned or ours).
[[gnu::always_inline]] inline void write_frame(RingState& state, const FrameSlot& slot,
                                               std::span<const std::byte> payload) noexcept {
    if (payload.size() >= py::kLockFreeCopyBytes) [[unlikely]] {
        write_frame_unlocked(state, slot, payload);
    } else {
        slot.write(payload.data());
    }
}

// Copies a frame's payload out; a long one with the interpreter lock given up (`into` must be
// pinned, or seen by no other thread).
[[gnu::always_inline]] inline void copy_payload(RingState& state, const FrameRef& frame, std::byte* into) noexcept {
    if (frame.length >= py::kLockFreeCopyBytes) [[unlikely]] {
        copy_payload_unlocked(state, frame, into);
    } else {
        frame.copy_payload(into);
    }
}

// Writes one frame if it fits now (false: no room, nothing written). Long payloads are copied
// with the interpreter lock given up. Inline: push and put compile into one function each.
template <Handoff handoff>
[[gnu::always_inline]] inline Result<bool> write_message(RingState& state, std::span<const std::byte> payload) {
    SpscRing ring = state.ring();
    if constexpr (handoff == Handoff::Quiet) {
        if (payload.size() < py::kLockFreeCopyBytes) [[likely]]
            return ring.push(payload);
    }
    FrameSlot slot{};
    auto reserved = ring.reserve(payload.size(), slot);
    if (!reserved || !*reserved) return reserved;
    write_frame(state, slot, payload);
    if constexpr (handoff == Handoff::Quiet) {
        ring.publish_tail(slot.end());
    } else {
        publish_tail_and_wake(ring, slot.tail, slot.end(), state.producer);
    }
    return true;
}

// Stores head past `frame` (after the caller's copy-out or decoding).
template <Handoff handoff>
[[gnu::always_inline]] inline void give_back(RingState& state, SpscRing& ring, const FrameRef& frame) noexcept {
    const std::uint64_t next = frame.head + ring_layout::kLengthSize + frame.length;
    if constexpr (handoff == Handoff::Quiet) {
        ring.publish_head(next);
    } else {
        publish_head_and_wake(ring, frame.head, next, state.consumer);
    }
}

// Takes the next message as bytes: one copy, straight from the ring into the new bytes object
// (if it cannot be allocated the message stays). A null Ref (and no error) when the ring is
// empty. Inline: pop and get compile into one function each.
template <Handoff handoff>
[[gnu::always_inline]] inline py::PyResult<py::Ref> take_bytes(RingState& state) {
    SpscRing ring = state.ring();
    auto peeked = ring.peek();
    if (!peeked) [[unlikely]]
        return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return py::Ref();
    const FrameRef& frame = peeked->frame;
    py::Ref out = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, frame.length));
    if (!out) [[unlikely]]
        return py::python_error();
    copy_payload(state, frame, reinterpret_cast<std::byte*>(PyBytes_AS_STRING(out.get())));  // `out` is unseen
    give_back<handoff>(state, ring, frame);
    return out;
}

// A frame's payload as one run: in place when it does not wrap, else copied into `scratch`.
std::span<const std::byte> payload_view(const FrameRef& frame, ByteBuffer& scratch);

// Takes the next message and decodes its first value by `tag`; a null Ref when empty.
template <Handoff handoff>
py::PyResult<py::Ref> take_value(RingState& state, std::string_view tag);

// Takes the next message decoded by `schema`; a null Ref when the ring is empty.
template <Handoff handoff>
py::PyResult<py::Ref> take_mixed(RingState& state, ParsedSchema& schema);

}  // namespace kelparine::ring_object
