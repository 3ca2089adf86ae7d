#include "shared_memory.hpp"

#include "mapped_view.hpp"
#include "platform/unix/platform_handle.hpp"
#include "py/args.hpp"
#include "py/instance.hpp"
#include "rwlock.hpp"
#include "spsc/ring.hpp"
#include "spsc/ring_buffer.hpp"
#include "text.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

struct SharedMemoryState {
    SharedMemoryState(PlatformHandle h, bool creator) noexcept : handle(std::move(h)), is_creator(creator) {}
    PlatformHandle handle;
    bool is_creator;
};

PyTypeObject* g_type = nullptr;

SharedMemoryState& state(PyObject* self) noexcept { return py::payload_of<SharedMemoryState>(self); }

PyResult<Ref> wrap(Result<PlatformHandle> handle, bool is_creator) noexcept {
    if (!handle) return py::fail(std::move(handle.error()));
    auto type = shared_memory_type();
    if (!type) return std::unexpected(std::move(type.error()));
    // On allocation failure the handle is destroyed inside new_instance: descriptor closed.
    return py::new_instance<SharedMemoryState>(*type, std::move(*handle), is_creator);
}

constexpr py::Signature<2> kCreate{"create", {"name", "size"}, 2};
PyResult<Ref> create(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound{};
    if (!py::bind(kCreate, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    auto size = py::to_u64(bound[1], "size");
    if (!size) return std::unexpected(std::move(size.error()));
    // The size is checked before the name, so create('x', 0) reports the size.
    if (*size == 0) return py::fail(ShmError::invalid_argument("size must be > 0"));
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    return wrap(PlatformHandle::create(*name, *size), true);
}

constexpr py::Signature<2> kOpen{"open", {"name", "size"}, 1};
PyResult<Ref> open(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound{};
    if (!py::bind(kOpen, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    // Converted only to refuse bad values: the size always comes from the system.
    if (bound[1] != nullptr && bound[1] != Py_None) {
        if (auto size = py::to_u64(bound[1], "size"); !size) return std::unexpected(std::move(size.error()));
    }
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    return wrap(PlatformHandle::open(*name), false);
}

constexpr py::Signature<1> kRemove{"remove", {"name"}, 1};
PyResult<Ref> remove(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!py::bind(kRemove, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    if (auto removed = PlatformHandle::remove(*name); !removed) return py::fail(std::move(removed.error()));
    return Ref::none();
}

PyResult<Ref> map(PyObject* self) {
    const SharedMemoryState& s = state(self);
    if (s.handle.size() <= RWLOCK_SIZE)
        return py::fail(ShmError::invalid_argument(concat("segment size must be > ", RWLOCK_SIZE,
                                                          " bytes (rwlock header)")));
    auto mapping = s.handle.map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    // A creator clears the word on every map(), without looking: this is how holds left
    // behind by a process that died are cleared. Openers never write it.
    if (s.is_creator) ShmRwLock(mapping->base()).init_unlocked();
    return new_mapped_view(std::move(*mapping));
}

PyResult<Ref> spsc(PyObject* self) {
    const SharedMemoryState& s = state(self);
    if (s.handle.size() <= SPSC_HEADER_SIZE)
        return py::fail(ShmError::invalid_argument(concat("map_size must be > ", SPSC_HEADER_SIZE,
                                                          " bytes (spsc header)")));
    auto mapping = s.handle.map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    // On failure the mapping is released by its owner as we return.
    if (auto ready = SpscRing::init(mapping->base(), mapping->size(), s.is_creator); !ready)
        return py::fail(std::move(ready.error()));
    return new_spsc_ring_buffer(std::move(*mapping));
}

PyResult<Ref> name(PyObject* self) {
    const std::string& text = state(self).handle.name();
    Ref result = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (!result) return py::python_error();
    return result;
}

PyResult<Ref> size(PyObject* self) { return py::from_u64(state(self).handle.size()); }

PyResult<Ref> repr(PyObject* self) {
    const SharedMemoryState& s = state(self);
    const std::string text = concat("SharedMemory(name='", s.handle.name(), "', size=", s.handle.size(),
                                    ", role=", s.is_creator ? "creator" : "opener", ")");
    Ref result = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (!result) return py::python_error();
    return result;
}

PyMethodDef kMethods[] = {
    {"create", py::as_cfunction(py::static_fastcall_entry<create>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "create(name, size)\n--\n\n"
     "Create the segment `name` of `size` bytes, or reuse an existing one and grow it to `size`.\n\n"
     "The returned handle is the segment's creator: its map() clears the lock word and its\n"
     "spsc() initialises an empty ring. A larger existing segment is never shrunk.\n\n"
     "Raises ValueError for a size of 0 or a name without a leading '/', and OSError\n"
     "(for example \"ENOSPC: No space left on device\") when the system refuses."},
    {"open", py::as_cfunction(py::static_fastcall_entry<open>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(name, size=None)\n--\n\n"
     "Open the existing segment `name`; its size is taken from the system (`size` is checked\n"
     "but not used). Raises OSError \"ENOENT: No such file or directory\" if it does not exist."},
    {"remove", py::as_cfunction(py::static_fastcall_entry<remove>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "remove(name)\n--\n\n"
     "Remove the name `name`. Existing handles and views keep working; the memory is freed when\n"
     "the last of them is gone. Raises OSError \"ENOENT: No such file or directory\" if absent."},
    {"map", py::as_cfunction(py::noargs_entry<g_type, map>), METH_NOARGS,
     "map($self)\n--\n\n"
     "Map the whole segment as a MappedView: a 4-byte lock word, then the data area.\n"
     "Raises ValueError if the segment is 4 bytes or smaller."},
    {"name", py::as_cfunction(py::noargs_entry<g_type, name>), METH_NOARGS,
     "name($self)\n--\n\nThe segment name, exactly as given to create() or open()."},
    {"size", py::as_cfunction(py::noargs_entry<g_type, size>), METH_NOARGS,
     "size($self)\n--\n\n"
     "The segment size in bytes: as requested by create(), or as the system reported at open()."},
    {"spsc", py::as_cfunction(py::noargs_entry<g_type, spsc>), METH_NOARGS,
     "spsc($self)\n--\n\n"
     "Map the whole segment as a SpscRingBuffer. On a creating handle this (re)initialises an\n"
     "empty ring and requires size - 24 to be a power of two; on an opening handle the header\n"
     "is left as it is. Raises ValueError if the segment is 24 bytes or smaller."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<SharedMemoryState>)},
    {Py_tp_doc, const_cast<char*>("A handle on one named POSIX shared-memory segment.\n\n"
                                  "Made by SharedMemory.create() or SharedMemory.open(); closes its descriptor\n"
                                  "when collected (the segment itself stays until SharedMemory.remove()).")},
    {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::repr_entry<repr>)},
    {0, nullptr},
};

PyType_Spec kSpec{
    "builtins.SharedMemory",
    static_cast<int>(sizeof(py::Instance<SharedMemoryState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

py::PyResult<PyTypeObject*> shared_memory_type() noexcept { return py::make_type(g_type, kSpec); }

}  // namespace kelparine
