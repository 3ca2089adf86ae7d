// NumPy for the array members of SpscRingBuffer, reached through the Python C API at run time:
// NumPy is imported on the first call of one of them, so the module imports and works without
// it, and the build needs no NumPy headers. Also: the caches that spare small arrays a header
// built or parsed by Python code on every message, and the 64-byte aligned memory that
// get_array's arrays (and staged loans) own.
//
// Everything here runs with the interpreter lock held; the caches are touched only under it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../py/boundary.hpp"

namespace kelparine::ring_object::arrays {

struct NumPy {
    PyObject* ndarray;         // numpy.ndarray
    PyObject* dtype;           // numpy.dtype
    PyObject* asarray;         // numpy.asarray
    PyObject* copyto;          // numpy.copyto
    PyObject* dtype_to_descr;  // numpy.lib.format.dtype_to_descr
    PyObject* descr_to_dtype;  // numpy.lib.format.descr_to_dtype
    PyObject* literal_eval;    // ast.literal_eval
    PyObject* order_c;         // "C"
    PyObject* order_f;         // "F"
};

// NumPy, imported on the first call; only a success is kept, so a later call tries again.
// Error: ImportError "<member>() needs NumPy, which could not be imported (...)".
py::PyResult<const NumPy*> numpy(const char* member) noexcept;

// What an array message says besides its data.
struct ArrayKind {
    py::Ref dtype;  // a numpy.dtype
    py::Ref shape;  // a tuple of ints
    bool fortran_order = false;
    std::uint64_t nbytes = 0;

    ArrayKind share() const noexcept {
        return {py::Ref::borrow(dtype.get()), py::Ref::borrow(shape.get()), fortran_order, nbytes};
    }
};

// The producer's side: a header dict for an array of `dtype` and shape `dims` (the tuple
// `shape`). Errors: a dtype of Python objects (ValueError naming `member`), an array too large
// for 64 bits, what numpy.lib.format raises.
struct Described {
    std::string dict;
    bool ascii = true;
    ArrayKind kind;
};
py::PyResult<Described> describe(const NumPy& np, const char* member, PyObject* dtype, py::Ref shape,
                                 std::span<const std::uint64_t> dims, bool fortran_order) noexcept;

// The consumer's side: the kind a header's dict stands for, if it was parsed before; borrowed
// from the cache, valid until Python code runs or the interpreter lock is given up.
const ArrayKind* cached_kind(std::string_view dict) noexcept;
// Parses a header's dict (Python code runs: ast.literal_eval, numpy.lib.format), and keeps the
// result in the cache. `major`: the .npy version, which says how the text is encoded. Errors:
// ValueError "not an array message: ..." for a dict that is not a .npy header.
py::PyResult<ArrayKind> parse_kind(const NumPy& np, std::string_view dict, std::uint8_t major) noexcept;

// numpy.ndarray(kind.shape, kind.dtype, buffer, 0, None, order): an array over the memory
// `buffer` exports, which it references (NumPy keeps the object, not the export).
py::PyResult<py::Ref> make_array(const NumPy& np, const ArrayKind& kind, PyObject* buffer) noexcept;

// A 64-byte aligned heap block. Large ones go back to a small per-process stock when dropped,
// for the next array of about their size: a fresh large allocation is faulted in page by page,
// which costs as much as the copy that fills it.
class AlignedBlock {
public:
    AlignedBlock() noexcept = default;
    AlignedBlock(AlignedBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    AlignedBlock& operator=(AlignedBlock&& other) noexcept {
        if (this != &other) {
            drop();
            data_ = std::exchange(other.data_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    AlignedBlock(const AlignedBlock&) = delete;
    AlignedBlock& operator=(const AlignedBlock&) = delete;
    ~AlignedBlock() { drop(); }

    // At least `size` bytes (a block even for 0); null data when memory ran out.
    static AlignedBlock take(std::uint64_t size) noexcept;
    std::byte* data() const noexcept { return data_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    AlignedBlock(std::byte* data, std::uint64_t capacity) noexcept : data_(data), capacity_(capacity) {}
    void drop() noexcept;
    std::byte* data_ = nullptr;
    std::uint64_t capacity_ = 0;
};

// A new object owning `block` and exporting its first `size` bytes, writable: the base of the
// arrays get_array returns.
py::PyResult<py::Ref> new_array_memory(AlignedBlock block, std::uint64_t size) noexcept;

// The dtype argument of reserve_array as a numpy.dtype: a dtype as it is; a str or a type (such
// as numpy.float32) converted once and then found in a cache; anything else converted.
py::PyResult<py::Ref> to_dtype(const NumPy& np, PyObject* value) noexcept;

// The shape argument of reserve_array: an int or a sequence of ints >= 0, as a tuple and as
// numbers. Errors: TypeError, ValueError for a negative extent.
py::PyResult<py::Ref> to_shape(PyObject* value, std::vector<std::uint64_t>& dims) noexcept;

}  // namespace kelparine::ring_object::arrays
