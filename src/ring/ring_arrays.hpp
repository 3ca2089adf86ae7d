// Array messages on a ring (core/codec/array_header.hpp has the layout): the copying members
// put_array and get_array, the loans reserve_array and borrow_array (made here, lent by
// ring_loans.cpp), and what both need to write and find such a message.
#pragma once

#include <string>

#include "../core/codec/array_header.hpp"
#include "array_numpy.hpp"
#include "ring_object.hpp"

namespace kelparine::ring_object {

// The consumer's look at the next message as an array message, kept across the attempts of
// one call.
struct ArrayLook {
    FrameRef frame{};
    array_message::Header header{};
    arrays::ArrayKind kind;  // what the header says
    // The last dict this call parsed, and its kind: found again once the call looks again.
    std::string parsed_dict;
    arrays::ArrayKind parsed;

    std::uint64_t data_position() const noexcept { return frame.head + ring_layout::kLengthSize + header.size; }
};

enum class Look : unsigned char {
    Empty,  // no message
    Found,  // `look` describes the next message
    Again,  // Python code parsed a new header meanwhile: enter the role again and look again
};

// Peeks at the next message and reads its header. Errors: not an array message (ValueError;
// nothing is consumed), a corrupt ring.
py::PyResult<Look> look_for_array(RingState& s, const arrays::NumPy& np, ArrayLook& look);

// The found message's data where it lies, when that is one 64-byte aligned run; else null.
const std::byte* data_in_place(const ArrayLook& look) noexcept;
// Copies the found message's data out; a long copy with the interpreter lock given up (`into`
// must be pinned, or seen by no other thread).
void copy_data(RingState& s, const ArrayLook& look, std::byte* into) noexcept;

// An array loan's own part (reserve_array, borrow_array).
struct ArrayLoan {
    const arrays::NumPy* np = nullptr;
    arrays::Described out;            // reserve_array: the message's dict and kind
    array_message::Header header{};   // reserve_array: the header, as planned for the slot
    ArrayLook look;                   // borrow_array: the message lent
    // A message that wraps is staged here: in a block of the loan's own, since the arrays it
    // hands out may outlive the block (the ring object's staging run is reused by the next loan).
    arrays::AlignedBlock staging;
    bool building = false;  // the array handed out is being made: the one time memory is exported
    bool pinned = false;    // the ring's mapping is kept for the arrays, past close()
};

// A run `size` bytes long in `block` (allocated here) whose byte `offset` is 64-byte aligned;
// null when memory ran out.
std::byte* staged_run(arrays::AlignedBlock& block, std::uint64_t size, std::uint64_t offset) noexcept;

py::PyResult<py::Ref> put_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> reserve_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> borrow_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelparine::ring_object
