// The SharedMemory class: a handle on one named segment, and the maker of its views.
#pragma once

#include "py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> shared_memory_type() noexcept;

}  // namespace kelparine
