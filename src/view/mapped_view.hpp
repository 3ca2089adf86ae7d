// The MappedView class: locked random access to a segment's data area.
#pragma once

#include <string_view>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/presence/presence.hpp"
#include "../py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> mapped_view_type() noexcept;
// A view that owns `mapping` (a whole segment of more than RWLOCK_SIZE bytes) of the segment
// `name`, cursor 0.
py::PyResult<py::Ref> new_mapped_view(Mapping mapping, std::string_view name, presence::Presence presence);

}  // namespace kelparine
