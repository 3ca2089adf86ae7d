// Waiting on ring objects with the interpreter lock given up: for a message, for room, or for
// a message in any of several rings. Each returns true when the ring is ready (look again
// with the lock held: another thread may have been first), false when the deadline passed;
// errors: the object was closed meanwhile (ValueError), the peer is gone (EOFError waiting
// for a message, BrokenPipeError waiting for room), or a signal handler raised.
#pragma once

#include <span>
#include <vector>

#include "../core/wait/deadline.hpp"
#include "../queue/queue_object.hpp"
#include "ring_object.hpp"

namespace kelparine::ring_object {

// Sets EOFError (a consumer's peer gone) or BrokenPipeError (a producer's) and forgets the
// peer, so the next wait waits for a new one.
py::PyResult<void> report_peer_gone(RingState& state, Role waiting_role);

py::PyResult<bool> wait_for_message(RingState& state, const wait::Deadline& deadline);
// Room for a frame of `payload_size` bytes (which must fit the capacity).
py::PyResult<bool> wait_for_room(RingState& state, std::uint64_t payload_size, const wait::Deadline& deadline);
// `ended[i]`: the i-th ring's producer is gone (the ring is ready for its end of file).
// `queues`: queues waited on beside the rings (ready as Selected::ready() says).
py::PyResult<bool> wait_for_any_message(std::span<RingState* const> states, const wait::Deadline& deadline,
                                        std::vector<bool>& ended, std::span<queue_object::Selected> queues = {});

}  // namespace kelparine::ring_object
