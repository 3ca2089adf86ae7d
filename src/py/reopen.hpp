// Pickling of views and rings by their segment's name. A view or ring is rebuilt as
// SharedMemory.open(name).<maker>(), yet neither knows the segment's class: module.cpp, which
// makes all three classes, hands over the function that opens a segment handle by name.
#pragma once

#include <string_view>

#include "boundary.hpp"

namespace kelparine::py {

// A live SharedMemory handle on the segment `name`, in the opener's role.
using OpenHandle = PyResult<Ref> (*)(std::string_view name);

// Called by the module's execution step, with the interpreter lock held, before any class is
// made (so before any view or ring can be pickled).
void set_handle_opener(OpenHandle open) noexcept;

// The __reduce__ value of a view or ring of the segment `name`: (operator.methodcaller(maker),
// (SharedMemory.open(name),)). The handle pickles by name, so the receiving process gets
// SharedMemory.open(name).<maker>(): a fresh mapping in the opener's role, whose header is
// used as it is found. The name must still exist when the object is pickled (or copied).
PyResult<Ref> reduce_as_made_by(std::string_view name, const char* maker);

}  // namespace kelparine::py
