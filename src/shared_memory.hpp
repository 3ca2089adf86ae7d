// The SharedMemory class: a handle on one named segment, and the maker of its views.
#pragma once

#include <cstdint>
#include <string_view>

#include "py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> shared_memory_type() noexcept;

// A closed SharedMemory of the opener role that records `name` and `size`: what a view or ring
// pickles to, as (operator.methodcaller("map"), (handle,)) and the like. Unpickled, the handle
// is SharedMemory.open(name), so a creator's reset of a header never runs in the receiver.
py::PyResult<py::Ref> shared_memory_by_name(std::string_view name, std::uint64_t size);

}  // namespace kelparine
