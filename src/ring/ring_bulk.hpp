// The bulk members of SpscRingBuffer (fast-call bodies): pop_into, get_into, push_many, pop_many,
// get_many.
#pragma once

#include "ring_object.hpp"

namespace kelparine::ring_object {

py::PyResult<py::Ref> pop_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> push_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> pop_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelparine::ring_object
