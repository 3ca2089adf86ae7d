#include "ring_transfer.hpp"

#include "../py/gc_pause.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

// Decoding failures consume the message, except a failed allocation: that message stays.
template <Handoff handoff, class Value>
PyResult<Value> finish_decode(RingState& state, SpscRing& ring, const FrameRef& frame, PyResult<Value> decoded) {
    const bool out_of_memory = !decoded && std::holds_alternative<py::PythonError>(decoded.error()) &&
                               PyErr_ExceptionMatches(PyExc_MemoryError);
    if (!out_of_memory) give_back<handoff>(state, ring, frame);
    return decoded;
}

}  // namespace

std::span<const std::byte> payload_view(const FrameRef& frame, ByteBuffer& scratch) {
    if (const std::byte* in_place = frame.contiguous_payload()) return {in_place, frame.length};
    std::byte* out = scratch.extend(frame.length);
    frame.copy_payload(out);
    return {out, frame.length};
}

void write_frame_unlocked(RingState& state, const FrameSlot& slot, std::span<const std::byte> payload) noexcept {
    py::LockFreeStretch unlocked(state.gate, Role::Producer);
    slot.write(payload.data());
}

void copy_payload_unlocked(RingState& state, const FrameRef& frame, std::byte* into) noexcept {
    py::LockFreeStretch unlocked(state.gate, Role::Consumer);
    frame.copy_payload(into);
}

template <Handoff handoff>
PyResult<Ref> take_value(RingState& state, std::string_view tag) {
    SpscRing ring = state.ring();
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return Ref();
    const FrameRef& frame = peeked->frame;
    // Decoded in place before the frame is released to the producer.
    ByteBuffer scratch;
    auto decode = [&]() -> PyResult<Ref> {
        auto unpacked = unpack_one(payload_view(frame, scratch), tag);
        if (!unpacked) return std::unexpected(std::move(unpacked.error()));
        return std::move(unpacked->value);
    };
    return finish_decode<handoff>(state, ring, frame, decode());
}

template <Handoff handoff>
PyResult<Ref> take_mixed(RingState& state, ParsedSchema& schema) {
    // The collector is paused until the frame is consumed (decoding allocates lists), so no
    // Python code runs between peek and consume.
    py::GcPause no_collection;
    SpscRing ring = state.ring();
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return Ref();
    ByteBuffer scratch;
    auto decode = [&]() -> PyResult<Ref> {
        auto unpacked = unpack_mixed_counted(payload_view(peeked->frame, scratch), schema);
        if (!unpacked) return std::unexpected(std::move(unpacked.error()));
        return std::move(unpacked->list);
    };
    return finish_decode<handoff>(state, ring, peeked->frame, decode());
}

template PyResult<Ref> take_value<Handoff::Quiet>(RingState&, std::string_view);
template PyResult<Ref> take_value<Handoff::Waking>(RingState&, std::string_view);
template PyResult<Ref> take_mixed<Handoff::Quiet>(RingState&, ParsedSchema&);
template PyResult<Ref> take_mixed<Handoff::Waking>(RingState&, ParsedSchema&);

}  // namespace kelparine::ring_object
