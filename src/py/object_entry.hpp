// Entering a call on a view or ring object, with the interpreter lock held: a closed object
// raises ValueError ("<Class> is closed"), a role lent to a loan raises RuntimeError, and a
// role that another thread of this process is using without the interpreter lock (a long copy,
// a view's wait for its lock word) is waited for, with the lock given up, until it is free.
#pragma once

#include "../object_gate.hpp"
#include "boundary.hpp"

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

// After mark_closed(): waits, with the interpreter lock given up, until no thread is inside a
// call on the object without the lock (each notices the mark within a park slice, or ends its
// copy). Not abandoned on Ctrl-C: the object is closed already; the signal is handled after.
void wait_until_unused(ObjectGate& gate) noexcept;

}  // namespace kelparine::py
