// The SpscRingBuffer object's own state, shared by the files that implement its members: the
// mapping, the segment's name (for pickling and messages), the gate that keeps calls of one
// role from overlapping once they give the interpreter lock up, and what each side knows for
// its wake-up decisions.
#pragma once

#include <memory>
#include <new>
#include <string>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/spsc/ring.hpp"
#include "../core/spsc/ring_wake.hpp"
#include "../py/boundary.hpp"
#include "../py/instance.hpp"
#include "../py/object_entry.hpp"
#include "../py/object_gate.hpp"

namespace kelparine::ring_object {

using Role = ObjectGate::Role;

struct RingState {
    RingState(Mapping m, std::string segment_name) noexcept
        : mapping(std::move(m)), name(std::move(segment_name)) {}
    SpscRing ring() const noexcept { return SpscRing(mapping.base(), mapping.size()); }

    Mapping mapping;  // unmapped once closed and no call is left in it, or when deallocated
    std::string name;
    ObjectGate gate{&mapping};  // unmaps when the last call leaves the closed object
    WakeLedger producer;  // this object's waking stores of tail
    WakeLedger consumer;  // this object's waking stores of head
    // Learned from waits: the peer on the other side delivered without waking us (it only
    // polls, or is not this module), so parks stay short.
    bool silent_producer = false;
    bool silent_consumer = false;

    // The staging run of each role's loan where the ring's run wraps, kept for the next loan
    // (a role has one loan at a time): large messages wrap once per trip round the ring, and a
    // fresh allocation each time would cost page faults as well as the copy. Null on failure.
    std::byte* staging(Role role, std::uint64_t size) noexcept {
        Staging& run = staging_runs[static_cast<int>(role)];
        if (run.size < size) {
            run.bytes.reset(new (std::nothrow) std::byte[size]);
            run.size = run.bytes ? size : 0;
        }
        return run.bytes.get();
    }
    struct Staging {
        std::unique_ptr<std::byte[]> bytes;
        std::uint64_t size = 0;
    };
    Staging staging_runs[2];
};

inline RingState& state(PyObject* self) noexcept { return py::payload_of<RingState>(self); }

inline constexpr const char kClassName[] = "SpscRingBuffer";

// With the interpreter lock: whether a producer (consumer) call may go ahead; see
// py/object_entry.hpp.
[[gnu::always_inline]] inline py::PyResult<void> enter(RingState& ring, Role role) noexcept {
    static constexpr const char* kLent[] = {
        "a reserve() loan of this ring object is outstanding (its with block is running, or a buffer made "
        "from it is still alive)",
        "a borrow() loan of this ring object is outstanding (its with block is running, or a buffer made "
        "from it is still alive)",
    };
    return py::enter(ring.gate, role, kClassName, kLent[static_cast<int>(role)]);
}

// The type object, created once per process.
extern PyTypeObject* g_type;

// Members implemented outside ring_buffer.cpp (fast-call bodies).
py::PyResult<py::Ref> put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> select(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelparine::ring_object
