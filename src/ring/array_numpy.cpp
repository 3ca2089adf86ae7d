#include "array_numpy.hpp"

#include <cstdlib>
#include <unordered_map>
#include <utility>

#include "../core/codec/array_header.hpp"
#include "../core/text.hpp"
#include "../py/instance.hpp"
#include "../py/saved_exception.hpp"

namespace kelparine::ring_object::arrays {
namespace {

using py::PyResult;
using py::Ref;

// Kept for the life of the process (never released: the interpreter may be gone by the time
// static destructors run).
NumPy* g_numpy = nullptr;

PyObject* attribute(PyObject* module, const char* name) noexcept { return PyObject_GetAttrString(module, name); }

// Raises `type` with "<text> (<the current exception's text>)", the current exception as its
// cause; or with `text` alone when none is set.
std::unexpected<py::Failure> raise_with_cause(PyObject* type, const std::string& text) noexcept {
    Ref cause = Ref::steal(py::take_exception());
    std::string message = text;
    if (cause) {
        Ref described = Ref::steal(PyObject_Str(cause.get()));
        const char* detail = described ? PyUnicode_AsUTF8(described.get()) : nullptr;
        if (detail == nullptr) PyErr_Clear();
        message = concat(text, " (", Py_TYPE(cause.get())->tp_name, ": ", detail != nullptr ? detail : "?", ")");
    }
    Ref exception = Ref::steal(PyObject_CallFunction(type, "s", message.c_str()));
    if (!exception) return py::python_error();
    if (cause) PyException_SetCause(exception.get(), cause.release());
    PyErr_SetObject(type, exception.get());
    return py::python_error();
}

std::unexpected<py::Failure> not_an_array(const std::string& what) noexcept {
    return raise_with_cause(PyExc_ValueError, concat("not an array message: ", what));
}

// Caches. Bounded: a program that sends arrays of ever new shapes empties them now and then.
constexpr std::size_t kCacheEntries = 256;

struct DtypeEntry {
    Ref dtype;  // keeps the address used as the key from being reused by another object
    std::string descr;
    std::uint64_t itemsize;
    bool ascii;
};
std::unordered_map<PyObject*, DtypeEntry>* g_dtypes = nullptr;

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};
std::unordered_map<std::string, ArrayKind, TextHash, std::equal_to<>>* g_kinds = nullptr;

template <class Map>
Map& cache(Map*& map) {
    if (map == nullptr) map = new Map();
    if (map->size() >= kCacheEntries) map->clear();  // drops references: deallocations, no Python code
    return *map;
}

PyResult<const DtypeEntry*> dtype_entry(const NumPy& np, const char* member, PyObject* dtype) noexcept {
    if (g_dtypes != nullptr) {
        if (auto found = g_dtypes->find(dtype); found != g_dtypes->end()) return &found->second;
    }
    Ref has_objects = Ref::steal(PyObject_GetAttrString(dtype, "hasobject"));
    if (!has_objects) return py::python_error();
    if (PyObject_IsTrue(has_objects.get())) {
        if (member != nullptr) {
            PyErr_Format(PyExc_ValueError, "%s() cannot carry an array of Python objects (dtype %R)", member, dtype);
        } else {
            PyErr_Format(PyExc_ValueError, "arrays of Python objects cannot be carried (dtype %R)", dtype);
        }
        return py::python_error();
    }
    Ref itemsize = Ref::steal(PyObject_GetAttrString(dtype, "itemsize"));
    if (!itemsize) return py::python_error();
    const unsigned long long size = PyLong_AsUnsignedLongLong(itemsize.get());
    if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py::python_error();
    Ref descr = Ref::steal(PyObject_CallOneArg(np.dtype_to_descr, dtype));
    if (!descr) return py::python_error();
    Ref text = Ref::steal(PyObject_Repr(descr.get()));
    if (!text) return py::python_error();
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (utf8 == nullptr) return py::python_error();
    DtypeEntry entry{Ref::borrow(dtype), std::string(utf8, static_cast<std::size_t>(length)), size,
                     PyUnicode_IS_ASCII(text.get()) != 0};
    auto& map = cache(g_dtypes);
    return &map.insert_or_assign(dtype, std::move(entry)).first->second;
}

}  // namespace

PyResult<const NumPy*> numpy(const char* member) noexcept {
    if (g_numpy != nullptr) return g_numpy;
    auto failed = [member] {
        return raise_with_cause(PyExc_ImportError, concat(member, "() needs NumPy, which could not be imported"));
    };
    Ref module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!module) return failed();
    Ref format = Ref::steal(PyImport_ImportModule("numpy.lib.format"));
    if (!format) return failed();
    Ref ast = Ref::steal(PyImport_ImportModule("ast"));
    if (!ast) return py::python_error();
    auto* np = new (std::nothrow) NumPy{
        attribute(module.get(), "ndarray"),        attribute(module.get(), "dtype"),
        attribute(module.get(), "asarray"),        attribute(module.get(), "copyto"),
        attribute(format.get(), "dtype_to_descr"), attribute(format.get(), "descr_to_dtype"),
        attribute(ast.get(), "literal_eval"),      PyUnicode_InternFromString("C"),
        PyUnicode_InternFromString("F"),
    };
    if (np == nullptr) {
        PyErr_NoMemory();
        return py::python_error();
    }
    PyObject* const all[] = {np->ndarray, np->dtype, np->asarray, np->copyto, np->dtype_to_descr,
                             np->descr_to_dtype, np->literal_eval, np->order_c, np->order_f};
    for (PyObject* object : all) {
        if (object == nullptr) {
            for (PyObject* other : all) Py_XDECREF(other);
            delete np;
            return failed();
        }
    }
    g_numpy = np;
    return g_numpy;
}

PyResult<Described> describe(const NumPy& np, const char* member, PyObject* dtype, Ref shape,
                             std::span<const std::uint64_t> dims, bool fortran_order) noexcept {
    auto entry = dtype_entry(np, member, dtype);
    if (!entry) return std::unexpected(std::move(entry.error()));
    const auto nbytes = array_message::data_size((*entry)->itemsize, dims);
    if (!nbytes) return py::fail(ShmError::invalid_argument(concat(member, "(): the array is too large")));
    Described out;
    out.dict = array_message::dict_text((*entry)->descr, fortran_order, dims);
    out.ascii = (*entry)->ascii;
    out.kind = ArrayKind{Ref::borrow(dtype), std::move(shape), fortran_order, *nbytes};
    return out;
}

const ArrayKind* cached_kind(std::string_view dict) noexcept {
    if (g_kinds == nullptr) return nullptr;
    auto found = g_kinds->find(dict);
    return found == g_kinds->end() ? nullptr : &found->second;
}

PyResult<ArrayKind> parse_kind(const NumPy& np, std::string_view dict, std::uint8_t major) noexcept {
    // Bounded: literal_eval's time grows with the text, and no dtype needs more.
    if (dict.size() > (std::uint64_t{1} << 20))
        return py::fail(ShmError::invalid_argument(
            concat("not an array message: a .npy header of ", dict.size(), " bytes is longer than 1 MiB")));
    const auto size = static_cast<Py_ssize_t>(dict.size());
    Ref text = Ref::steal(major == 3 ? PyUnicode_DecodeUTF8(dict.data(), size, "strict")
                                     : PyUnicode_DecodeLatin1(dict.data(), size, "strict"));
    if (!text) return not_an_array("its .npy header is not text");
    Ref value = Ref::steal(PyObject_CallOneArg(np.literal_eval, text.get()));
    if (!value) return not_an_array("its .npy header is not a Python literal");
    PyObject* descr = PyDict_Check(value.get()) ? PyDict_GetItemString(value.get(), "descr") : nullptr;
    PyObject* fortran = descr != nullptr ? PyDict_GetItemString(value.get(), "fortran_order") : nullptr;
    PyObject* shape = fortran != nullptr ? PyDict_GetItemString(value.get(), "shape") : nullptr;
    if (shape == nullptr || PyDict_Size(value.get()) != 3 || !PyBool_Check(fortran) || !PyTuple_Check(shape))
        return not_an_array("its .npy header is not a dict of 'descr', 'fortran_order' (a bool) and 'shape' (a tuple)");
    std::vector<std::uint64_t> dims;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
        PyObject* extent = PyTuple_GET_ITEM(shape, i);
        const unsigned long long number = PyLong_Check(extent) ? PyLong_AsUnsignedLongLong(extent) : 0;
        if (!PyLong_Check(extent) || (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) ||
            number > static_cast<unsigned long long>(PY_SSIZE_T_MAX))
            return not_an_array("the shape in its .npy header is not a tuple of ints >= 0");
        dims.push_back(number);
    }
    Ref dtype = Ref::steal(PyObject_CallOneArg(np.descr_to_dtype, descr));
    if (!dtype) return not_an_array("the descr in its .npy header is not a dtype NumPy reads");
    auto entry = dtype_entry(np, nullptr, dtype.get());
    if (!entry) return not_an_array("its dtype cannot be carried");
    const auto nbytes = array_message::data_size((*entry)->itemsize, dims);
    if (!nbytes || *nbytes > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
        return not_an_array("the array its .npy header describes is too large");
    ArrayKind kind{std::move(dtype), Ref::borrow(shape), fortran == Py_True, *nbytes};
    ArrayKind kept = kind.share();
    cache(g_kinds).insert_or_assign(std::string(dict), std::move(kept));
    return kind;
}

PyResult<Ref> make_array(const NumPy& np, const ArrayKind& kind, PyObject* buffer) noexcept {
    static PyObject* const zero = PyLong_FromLong(0);  // a small int: immortal or cached
    if (zero == nullptr) return py::python_error();
    PyObject* const args[] = {kind.shape.get(), kind.dtype.get(), buffer, zero, Py_None,
                              kind.fortran_order ? np.order_f : np.order_c};
    Ref array = Ref::steal(PyObject_Vectorcall(np.ndarray, args, 6, nullptr));
    if (!array) return py::python_error();
    return array;
}

// ---------------------------------------------------------------------------------------------
// Aligned blocks

namespace {

// Blocks this large or larger are kept for reuse; smaller ones come from malloc's own bins.
constexpr std::uint64_t kStockFrom = 64 * 1024;
constexpr std::uint64_t kStockBytes = 256 * 1024 * 1024;
struct Stocked {
    std::byte* data;
    std::uint64_t capacity;
};
Stocked g_stock[4] = {};
std::uint64_t g_stocked_bytes = 0;

}  // namespace

AlignedBlock AlignedBlock::take(std::uint64_t size) noexcept {
    const std::uint64_t rounded = (size + 63) / 64 * 64 + (size == 0 ? 64 : 0);
    if (rounded >= kStockFrom) {
        // A stocked block at most four times the size asked for: a small array does not keep
        // a large block from the large arrays it was kept for.
        for (Stocked& kept : g_stock) {
            if (kept.data != nullptr && kept.capacity >= rounded && kept.capacity / 4 <= rounded) {
                g_stocked_bytes -= kept.capacity;
                return AlignedBlock(std::exchange(kept.data, nullptr), std::exchange(kept.capacity, 0));
            }
        }
    }
    if (rounded < size) return AlignedBlock();
    return AlignedBlock(static_cast<std::byte*>(std::aligned_alloc(64, rounded)), rounded);
}

void AlignedBlock::drop() noexcept {
    if (data_ == nullptr) return;
    if (capacity_ >= kStockFrom && g_stocked_bytes + capacity_ <= kStockBytes) {
        for (Stocked& kept : g_stock) {
            if (kept.data == nullptr) {
                kept = {std::exchange(data_, nullptr), capacity_};
                g_stocked_bytes += capacity_;
                return;
            }
        }
    }
    std::free(std::exchange(data_, nullptr));
}

// ---------------------------------------------------------------------------------------------
// The memory of get_array's arrays

namespace {

struct MemoryState {
    MemoryState(AlignedBlock b, std::uint64_t n) noexcept : block(std::move(b)), size(n) {}
    AlignedBlock block;
    std::uint64_t size;
};

PyTypeObject* g_memory_type = nullptr;

// The memory never moves and is freed only with the object, which every array over it
// references: no export needs counting.
int memory_get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    const MemoryState& m = py::payload_of<MemoryState>(self);
    return PyBuffer_FillInfo(view, self, m.block.data(), static_cast<Py_ssize_t>(m.size), 0, flags);
}

PyType_Slot kMemorySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<MemoryState>)},
    {Py_tp_doc, const_cast<char*>("The 64-byte aligned memory of an array from SpscRingBuffer.get_array().")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(memory_get_buffer)},
    {0, nullptr},
};

PyType_Spec kMemorySpec{
    "kelparine.ArrayMemory",
    static_cast<int>(sizeof(py::Instance<MemoryState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kMemorySlots,
};

}  // namespace

PyResult<Ref> new_array_memory(AlignedBlock block, std::uint64_t size) noexcept {
    auto type = py::make_type(g_memory_type, kMemorySpec);
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<MemoryState>(*type, std::move(block), size);
}

PyResult<Ref> to_dtype(const NumPy& np, PyObject* value) noexcept {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(np.dtype))) return Ref::borrow(value);
    // Strs and types only: they hash cheaply and never change. numpy.dtype() costs microseconds.
    static PyObject* conversions = nullptr;
    const bool cacheable = PyUnicode_CheckExact(value) || PyType_Check(value);
    if (cacheable && conversions != nullptr) {
        if (PyObject* known = PyDict_GetItemWithError(conversions, value)) return Ref::borrow(known);
        if (PyErr_Occurred()) return py::python_error();
    }
    Ref dtype = Ref::steal(PyObject_CallOneArg(np.dtype, value));
    if (!dtype) return py::python_error();
    if (cacheable) {
        if (conversions == nullptr) conversions = PyDict_New();
        if (conversions == nullptr) return py::python_error();
        if (PyDict_Size(conversions) >= static_cast<Py_ssize_t>(kCacheEntries)) PyDict_Clear(conversions);
        if (PyDict_SetItem(conversions, value, dtype.get()) != 0) return py::python_error();
    }
    return dtype;
}

PyResult<Ref> to_shape(PyObject* value, std::vector<std::uint64_t>& dims) noexcept {
    Ref items;
    if (PyIndex_Check(value)) {
        items = Ref::steal(PyTuple_Pack(1, value));
    } else {
        Ref sequence = Ref::steal(PySequence_Fast(value, "'shape' must be an int or a sequence of ints"));
        if (!sequence) return py::python_error();
        items = Ref::steal(PySequence_Tuple(sequence.get()));
    }
    if (!items) return py::python_error();
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    Ref shape = Ref::steal(PyTuple_New(count));
    if (!shape) return py::python_error();
    dims.clear();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref extent = Ref::steal(PyNumber_Index(PyTuple_GET_ITEM(items.get(), i)));
        if (!extent) return py::python_error();
        const Py_ssize_t number = PyLong_AsSsize_t(extent.get());
        if (number == -1 && PyErr_Occurred()) return py::python_error();
        if (number < 0) {
            PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
            return py::python_error();
        }
        dims.push_back(static_cast<std::uint64_t>(number));
        PyTuple_SET_ITEM(shape.get(), i, extent.release());
    }
    return shape;
}

}  // namespace kelparine::ring_object::arrays
