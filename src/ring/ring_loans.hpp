// The zero-copy members of SpscRingBuffer (fast-call bodies): reserve and borrow; and the loans
// reserve_array and borrow_array make (ring_arrays.cpp).
#pragma once

#include <memory>

#include "../py/timeout.hpp"
#include "ring_object.hpp"

namespace kelparine::ring_object {

py::PyResult<py::Ref> reserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> borrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct ArrayLoan;
// A loan of `ring` (the ring object) whose with block gets an array: reserve_array (Producer)
// or borrow_array (Consumer).
py::PyResult<py::Ref> new_array_loan(PyObject* ring, Role role, std::unique_ptr<ArrayLoan> array, py::Timeout timeout);

}  // namespace kelparine::ring_object
