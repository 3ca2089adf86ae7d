// Heap types from type specs, and instances whose payload is a C++ object.
//
// Every class is a heap type named "builtins.<Name>", not subclassable, not instantiable from
// Python, without __dict__ or weak references, and not garbage-collected (instances hold no
// Python references). The payload is constructed in place after tp_alloc and destroyed in the
// deallocation slot, so its destructor releases whatever it owns on every path.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "boundary.hpp"

namespace kelparine::py {

template <class Payload>
struct Instance {
    PyObject_HEAD
    Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

// Creates the type once per process from its PyType_Spec and keeps it for the life of the process.
PyResult<PyTypeObject*> make_type(PyTypeObject*& cache, PyType_Spec& spec) noexcept;

// A new instance of `type` whose payload is built from `args` (moved in). If the object cannot
// be allocated, the arguments are destroyed by the caller, releasing what they own.
template <class Payload, class... Args>
PyResult<Ref> new_instance(PyTypeObject* type, Args&&... args) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return python_error();
    static_assert(std::is_nothrow_constructible_v<Payload, Args&&...>);
    new (&payload_of<Payload>(self)) Payload(std::forward<Args>(args)...);
    return Ref::steal(self);
}

// The deallocation slot: destroy the payload, free the object, drop the reference to the type.
template <class Payload>
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    payload_of<Payload>(self).~Payload();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

// Entry points for the method table: noexcept, receiver checked, body run under guarded().
// The interpreter's method descriptor already refuses a receiver of another class; the check
// here keeps a member safe if it is ever reached otherwise (one pointer compare).
inline bool check_receiver(PyObject* self, PyTypeObject* type) noexcept {
    if (self != nullptr && Py_IS_TYPE(self, type)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor requires a '%s' object", type->tp_name);
    return false;
}

template <PyTypeObject*& Type, auto Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
    if (!check_receiver(self, Type)) return nullptr;
    return guarded([&] { return Body(self); });
}

template <PyTypeObject*& Type, auto Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!check_receiver(self, Type)) return nullptr;
    return guarded([&] { return Body(self, args, nargs, kwnames); });
}

template <auto Body>
PyObject* static_fastcall_entry(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return guarded([&] { return Body(args, nargs, kwnames); });
}

template <auto Body>
PyObject* repr_entry(PyObject* self) noexcept {
    return guarded([&] { return Body(self); });
}

// Casts for the method table, whose slot type is PyCFunction.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace kelparine::py
