// The SharedMemory class: a handle on one named segment, and the maker of its views.
#pragma once

#include <string_view>

#include "../py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> shared_memory_type() noexcept;

// The __reduce__ value of a view or ring of the segment `name`: (operator.methodcaller(maker),
// (SharedMemory.open(name),)). The handle pickles by name, so the receiving process gets
// SharedMemory.open(name).<maker>(): a fresh mapping in the opener's role, whose header is
// used as it is found. The name must still exist when the object is pickled (or copied).
py::PyResult<py::Ref> reduce_as_made_by(std::string_view name, const char* maker);

}  // namespace kelparine
