// The SpscRingBuffer class: the ring protocol with Python values as payloads.
#pragma once

#include "../platform/unix/owned_fd.hpp"
#include "../py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> spsc_ring_buffer_type() noexcept;
// A ring object that owns `mapping`; the ring's `new` has already run on it.
py::PyResult<py::Ref> new_spsc_ring_buffer(Mapping mapping) noexcept;

}  // namespace kelparine
