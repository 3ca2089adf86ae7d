// The zero-copy members of SpscRingBuffer (fast-call bodies): reserve and borrow.
#pragma once

#include "ring_object.hpp"

namespace kelparine::ring_object {

py::PyResult<py::Ref> reserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> borrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelparine::ring_object
