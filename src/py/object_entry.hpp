// Entering a call on a view or ring object, with the interpreter lock held.
//
// Every member of these classes is reached through a held entry point: the call keeps a
// CallHold on its object's gate from entry to return, so the mapping stays mapped for the whole
// call however often the body gives the lock up (close() waits for other threads' holds, and
// the last hold out of a closed object unmaps). The object itself is kept alive by the caller's
// reference to the receiver, which the interpreter holds for the whole call.
//
// Inside, enter() decides whether the call may go ahead: a closed object raises ValueError
// ("<Class> is closed"), a role lent to a loan raises RuntimeError, and a role that another
// thread of this process is using without the interpreter lock (a long copy, a view's wait for
// its lock word) is waited for, with the lock given up, until it is free.
#pragma once

#include "boundary.hpp"
#include "instance.hpp"
#include "object_gate.hpp"

namespace kelparine::py {

namespace detail {
PyResult<void> enter_slow(ObjectGate& gate, ObjectGate::Role role, const char* class_name,
                          const char* lent_message) noexcept;
}  // namespace detail

[[gnu::always_inline]] inline PyResult<void> enter(ObjectGate& gate, ObjectGate::Role role,
                                                   const char* class_name, const char* lent_message) noexcept {
    if (gate.free(role)) [[likely]]
        return {};
    return detail::enter_slow(gate, role, class_name, lent_message);
}

// ValueError "<Class> is closed": also what a wait reports when the object is closed under it.
PyResult<void> closed_error(const char* class_name) noexcept;

// For members that never touch the mapping without the lock (snapshots, close): only closed
// objects are refused.
PyResult<void> refuse_closed(const ObjectGate& gate, const char* class_name) noexcept;

// After mark_closed(): waits, with the interpreter lock given up, until no other thread holds
// the object (each notices the mark within a park slice, or ends its copy). The caller's own
// holds stay: the mapping goes when the last of them ends. Not abandoned on Ctrl-C: the object
// is closed already; the signal is handled after.
void wait_for_other_holds(ObjectGate& gate) noexcept;

// The held entry points, for method tables (State has a `gate`).
template <PyTypeObject*& Type, class State, auto Body>
PyObject* held_noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
    if (!check_receiver(self, Type)) return nullptr;
    CallHold hold(payload_of<State>(self).gate);
    return guarded([&] { return Body(self); });
}

template <PyTypeObject*& Type, class State, auto Body>
PyObject* held_fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!check_receiver(self, Type)) return nullptr;
    CallHold hold(payload_of<State>(self).gate);
    return guarded([&] { return Body(self, args, nargs, kwnames); });
}

template <class State, auto Body>
PyObject* held_repr_entry(PyObject* self) noexcept {
    CallHold hold(payload_of<State>(self).gate);
    return guarded([&] { return Body(self); });
}

}  // namespace kelparine::py
