// The SharedMemory class: a handle on one named segment, and the maker of its views.
#pragma once

#include <string_view>

#include "../py/boundary.hpp"

namespace kelparine {

py::PyResult<PyTypeObject*> shared_memory_type() noexcept;

// A live handle on the segment `name` in the opener's role: SharedMemory.open(name). The
// module gives it to py::set_handle_opener, through which views and rings pickle.
py::PyResult<py::Ref> open_handle(std::string_view name);

// SpscRingBuffer.create(name, capacity, mode=None, *, exclusive=False) and
// SpscRingBuffer.open(name), the ring's static makers: the segment is made or opened and
// mapped as SharedMemory.create(...).spsc() and SharedMemory.open(name).spsc() would, with no
// handle left behind (its descriptor is closed before they return, whatever happens).
py::PyResult<py::Ref> create_ring(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> open_ring(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Queue.create(name, capacity, mode=None, *, exclusive=False) and Queue.open(name): named
// queues by data capacity (the segment is sized by queue_layout::segment_size).
py::PyResult<py::Ref> create_named_queue(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> open_named_queue(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelparine
