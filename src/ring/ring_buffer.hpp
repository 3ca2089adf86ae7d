// The SpscRingBuffer class: the ring protocol with Python values as payloads.
#pragma once

#include <string_view>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/presence/presence.hpp"
#include "../py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> spsc_ring_buffer_type() noexcept;
// A ring object that owns `mapping` of the segment `name`, and this process's `presence` on
// it; the creator's header (if any) has already been written.
py::PyResult<py::Ref> new_spsc_ring_buffer(Mapping mapping, std::string_view name, presence::Presence presence);

}  // namespace kelparine
