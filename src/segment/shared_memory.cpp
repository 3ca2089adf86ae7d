#include "shared_memory.hpp"

#include <cstdint>
#include <optional>

#include "../core/platform/unix/platform_handle.hpp"
#include "../core/presence/presence.hpp"
#include "../core/rwlock.hpp"
#include "../core/spsc/ring.hpp"
#include "../core/text.hpp"
#include "../py/args.hpp"
#include "../py/gil_hooks.hpp"
#include "../py/instance.hpp"
#include "../ring/ring_buffer.hpp"
#include "../queue/queue_object.hpp"
#include "../view/mapped_view.hpp"
#include "../core/queue/mpmc_queue.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

struct SharedMemoryState {
    SharedMemoryState(PlatformHandle h, bool creator) noexcept
        : handle(std::move(h)), is_creator(creator), presence(presence::Presence::take(handle.fd())) {}
    // Every object of the segment is present on it (this handle until close()), and so are
    // the views and rings made from it, with their own presence.
    presence::Presence make_presence() const noexcept { return presence::Presence::take(handle.fd()); }
    void close() noexcept {
        handle.close();
        presence.reset();
    }
    PlatformHandle handle;
    bool is_creator;
    presence::Presence presence;
};

PyTypeObject* g_type = nullptr;

SharedMemoryState& state(PyObject* self) noexcept { return py::payload_of<SharedMemoryState>(self); }

// The state of a handle that has not been closed; every member that needs the descriptor (or
// stands for the live handle) goes through here.
PyResult<SharedMemoryState*> open_state(PyObject* self) noexcept {
    SharedMemoryState& s = state(self);
    if (!s.handle.is_open()) {
        PyErr_SetString(PyExc_ValueError, "SharedMemory is closed");
        return py::python_error();
    }
    return &s;
}

PyResult<Ref> wrap(Result<PlatformHandle> handle, bool is_creator) noexcept {
    if (!handle) return py::fail(std::move(handle.error()));
    auto type = shared_memory_type();
    if (!type) return std::unexpected(std::move(type.error()));
    // On allocation failure the handle is destroyed inside new_instance: descriptor closed.
    return py::new_instance<SharedMemoryState>(*type, std::move(*handle), is_creator);
}

PyResult<Ref> text(std::string_view value) noexcept {
    Ref result = Ref::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr));
    if (!result) return py::python_error();
    return result;
}

constexpr std::uint32_t kMaxMode = 07777;

// create()'s `mode`: None, or an int (or __index__ object) in 0..0o7777.
PyResult<std::optional<std::uint32_t>> to_mode(PyObject* value) noexcept {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (!PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'mode' must be an int or None, not '%.200s'", Py_TYPE(value)->tp_name);
        return py::python_error();
    }
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return py::python_error();
    int overflow = 0;
    const long long mode = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (mode == -1 && PyErr_Occurred()) return py::python_error();
    if (overflow == 0 && mode >= 0 && mode <= kMaxMode) return static_cast<std::uint32_t>(mode);
    Ref shown = Ref::steal(PyNumber_ToBase(index.get(), 8));
    if (!shown) return py::python_error();
    PyErr_Format(PyExc_ValueError, "mode must be between 0 and 0o7777, not %U", shown.get());
    return py::python_error();
}

// create()'s `mode` and keyword-only `exclusive` (nullptr where not given).
PyResult<CreateOptions> to_create_options(PyObject* mode_value, PyObject* exclusive_value) noexcept {
    auto mode = to_mode(mode_value);
    if (!mode) return std::unexpected(std::move(mode.error()));
    CreateOptions options{.mode = *mode};
    if (exclusive_value != nullptr) {
        const int exclusive = PyObject_IsTrue(exclusive_value);
        if (exclusive < 0) return py::python_error();
        options.exclusive = exclusive != 0;
    }
    return options;
}

// `exclusive` is keyword-only.
constexpr py::Signature<4> kCreate{"create", {"name", "size", "mode", "exclusive"}, 2, 3};
PyResult<Ref> create(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> bound{};
    if (!py::bind(kCreate, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    auto size = py::to_u64(bound[1], "size");
    if (!size) return std::unexpected(std::move(size.error()));
    auto options = to_create_options(bound[2], bound[3]);
    if (!options) return std::unexpected(std::move(options.error()));
    // The size is checked before the name, so create('x', 0) reports the size.
    if (*size == 0) return py::fail(ShmError::invalid_argument("size must be > 0"));
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    py::GilHooks hooks;
    return wrap(PlatformHandle::create(*name, *size, hooks, *options), true);
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

// A new mapping of a segment laid out as a view (lock word, then data); the open handle too.
PyResult<std::pair<Mapping, const SharedMemoryState*>> map_as_view(PyObject* self) {
    auto live = open_state(self);
    if (!live) return std::unexpected(std::move(live.error()));
    const SharedMemoryState& s = **live;
    if (s.handle.size() <= RWLOCK_SIZE)
        return py::fail(ShmError::invalid_argument(concat("segment size must be > ", RWLOCK_SIZE,
                                                          " bytes (rwlock header)")));
    auto mapping = s.handle.map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    return std::pair(std::move(*mapping), &s);
}

PyResult<Ref> map(PyObject* self) {
    auto mapped = map_as_view(self);
    if (!mapped) return std::unexpected(std::move(mapped.error()));
    auto& [mapping, s] = *mapped;
    // A creator clears the word on every map(), without looking: this is how holds left
    // behind by a process that died are cleared. Openers never write it.
    if (s->is_creator) ShmRwLock(mapping.base()).init_unlocked();
    return new_mapped_view(std::move(mapping), s->handle.name(), s->make_presence());
}

// A new mapping of the whole segment laid out as a ring: a creator writes a fresh, empty header;
// an opener's is used as it is found. On failure the mapping is released by its owner.
PyResult<Mapping> map_as_ring(const PlatformHandle& handle, bool creator) {
    if (handle.size() <= SPSC_HEADER_SIZE)
        return py::fail(ShmError::invalid_argument(concat("map_size must be > ", SPSC_HEADER_SIZE,
                                                          " bytes (spsc header)")));
    auto mapping = handle.map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    if (auto ready = SpscRing::init(mapping->base(), mapping->size(), creator); !ready)
        return py::fail(std::move(ready.error()));
    return std::move(*mapping);
}

PyResult<Ref> spsc(PyObject* self) {
    auto live = open_state(self);
    if (!live) return std::unexpected(std::move(live.error()));
    const SharedMemoryState& s = **live;
    auto mapping = map_as_ring(s.handle, s.is_creator);
    if (!mapping) return std::unexpected(std::move(mapping.error()));
    return new_spsc_ring_buffer(std::move(*mapping), s.handle.name(), s.make_presence());
}

// A queue over the whole segment: a creator writes a fresh header with the largest
// power-of-two capacity that fits (and a new stamp key); an opener checks the one it finds.
PyResult<Ref> queue(PyObject* self) {
    auto live = open_state(self);
    if (!live) return std::unexpected(std::move(live.error()));
    const SharedMemoryState& s = **live;
    const std::uint64_t capacity = MpmcQueue::capacity_for(s.handle.size());
    if (capacity == 0)
        return py::fail(ShmError::invalid_argument(concat("a queue needs a segment of at least ",
                                                          queue_layout::segment_size(queue_layout::kMinCapacity),
                                                          " bytes; this one has ", s.handle.size())));
    auto mapping = s.handle.map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    const Status ready = s.is_creator
                             ? MpmcQueue::init(mapping->base(), mapping->size(), capacity, MpmcQueue::random_key())
                             : MpmcQueue::check(mapping->base(), mapping->size());
    if (!ready) return py::fail(std::move(ready.error()));
    return new_queue(std::move(*mapping), s.handle.name(), OwnedFd(), s.make_presence(), 0);
}

PyResult<Ref> name(PyObject* self) {
    auto live = open_state(self);
    if (!live) return std::unexpected(std::move(live.error()));
    return text((*live)->handle.name());
}

PyResult<Ref> size(PyObject* self) {
    auto live = open_state(self);
    if (!live) return std::unexpected(std::move(live.error()));
    return py::from_u64((*live)->handle.size());
}

PyResult<Ref> close(PyObject* self) {
    state(self).close();
    return Ref::none();
}

PyResult<Ref> closed(PyObject* self) { return Ref::boolean(!state(self).handle.is_open()); }

PyResult<Ref> others_present(PyObject* self) {
    auto live = open_state(self);
    if (!live) return std::unexpected(std::move(live.error()));
    const std::optional<bool> present = (*live)->presence.others_present();
    if (!present) return Ref::none();
    return Ref::boolean(*present);
}

PyResult<Ref> enter_context(PyObject* self) {
    if (auto live = open_state(self); !live) return std::unexpected(std::move(live.error()));
    return Ref::borrow(self);
}

// __exit__(*exc_info): closes, and returns None so that an exception goes on.
PyResult<Ref> exit_context(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "__exit__() takes no keyword arguments");
        return py::python_error();
    }
    state(self).close();
    return Ref::none();
}

// Pickled by name: unpickling opens the segment again, in the opener role. Only the name is
// recorded, so a closed handle pickles too.
PyResult<Ref> reduce(PyObject* self) {
    Ref opener = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_type), "open"));
    if (!opener) return py::python_error();
    auto segment = text(state(self).handle.name());
    if (!segment) return segment;
    Ref result = Ref::steal(Py_BuildValue("(O(O))", opener.get(), segment->get()));
    if (!result) return py::python_error();
    return result;
}

// For tools/kelparine-inspect --clear-stale-lock: clears the lock word only if it still reads
// `observed` (one compare-and-swap), so that a hold taken after the tool looked is never wiped.
constexpr py::Signature<1> kClearStaleLock{"_clear_stale_lock", {"observed"}, 1};
PyResult<Ref> clear_stale_lock(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!py::bind(kClearStaleLock, args, nargs, kwnames, bound)) return py::python_error();
    if (!PyLong_Check(bound[0])) {
        PyErr_Format(PyExc_TypeError, "'observed' must be int, not '%.200s'", Py_TYPE(bound[0])->tp_name);
        return py::python_error();
    }
    int overflow = 0;
    const long long observed = PyLong_AsLongLongAndOverflow(bound[0], &overflow);
    if (observed == -1 && PyErr_Occurred()) return py::python_error();
    if (overflow != 0 || observed < INT32_MIN || observed > INT32_MAX)
        return py::fail(ShmError::invalid_argument("observed must be a 32-bit lock word value"));
    auto mapped = map_as_view(self);
    if (!mapped) return std::unexpected(std::move(mapped.error()));
    return Ref::boolean(ShmRwLock(mapped->first.base()).clear_if(static_cast<std::int32_t>(observed)));
}

PyResult<Ref> repr(PyObject* self) {
    const SharedMemoryState& s = state(self);
    return text(concat("SharedMemory(name='", s.handle.name(), "', size=", s.handle.size(),
                       ", role=", s.is_creator ? "creator" : "opener", s.handle.is_open() ? ")" : ", closed=true)"));
}

constexpr const char kOpenDoc[] =
     "open(name, size=None)\n--\n\n"
     "Open the existing segment `name`; return an opener handle.\n\n"
     "The segment's size comes from the system (see size()); `size`, when\n"
     "given, is only checked to be a non-negative int and is otherwise\n"
     "ignored. An opener's map() and spsc() use the headers as they find\n"
     "them, so open a segment after its creator has made its first view.\n\n"
     "Raises:\n"
     "    ValueError: a malformed name, as for create().\n"
     "    FileNotFoundError: \"ENOENT: No such file or directory\" when no\n"
     "        segment has that name.\n"
     "    PermissionError: \"EACCES: Permission denied\" when it may not be\n"
     "        opened for reading and writing.\n"
     "    TypeError, OverflowError: as for create().\n\n"
     "Example:\n\n"
     "    >>> SharedMemory.open(\"/no-such-segment\")\n"
     "    Traceback (most recent call last):\n"
     "      ...\n"
     "    FileNotFoundError: ENOENT: No such file or directory";

PyMethodDef kMethods[] = {
    {"create", py::as_cfunction(py::static_fastcall_entry<create>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "create(name, size, mode=None, *, exclusive=False)\n--\n\n"
     "Create the segment `name` of `size` bytes; return its creator handle.\n\n"
     "`name` is \"/\" followed by at least one character. The system ignores\n"
     "further leading \"/\" (\"//x\" names the same segment as \"/x\") and\n"
     "refuses a \"/\" anywhere else.\n"
     "`size` counts the whole segment, headers included: 4 + the data bytes\n"
     "for map(), 24 + a power of two for spsc().\n\n"
     "A segment that already exists under `name` is reused, not replaced: it\n"
     "is grown to `size` bytes if smaller (new bytes read as zero), never\n"
     "shrunk, and its contents are kept. Its first `size` bytes are reserved\n"
     "at once, so a full /dev/shm fails here rather than killing a process\n"
     "later on; other processes see a new size only once it is reserved.\n"
     "With exclusive=True an existing segment is refused instead, and left\n"
     "exactly as it is.\n\n"
     "`mode` (0 to 0o7777) sets the permission bits of a segment this call\n"
     "creates, exactly: the umask does not reduce it. 0o600 keeps the data\n"
     "from every other user. Without `mode` a new segment gets 0o666 less\n"
     "the umask (usually 0o644: every user may read it). An existing segment\n"
     "keeps its mode; when `mode` is given, it is reused only if it belongs\n"
     "to this user and grants no more than `mode`.\n\n"
     "If another process is creating the same name at that moment, create()\n"
     "waits for it with other threads free to run; Ctrl-C ends the wait with\n"
     "KeyboardInterrupt and changes nothing.\n\n"
     "Raises:\n"
     "    ValueError: \"size must be > 0\" (checked before the name);\n"
     "        \"name must start with '/' (e.g. \"/my_segment\")\";\n"
     "        \"name must have at least one character after '/'\";\n"
     "        \"mode must be between 0 and 0o7777, not 0o10000\" (e.g.).\n"
     "    FileExistsError: \"EEXIST: File exists\" when exclusive=True and\n"
     "        the name exists.\n"
     "    PermissionError: \"EACCES: Permission denied\" for an existing\n"
     "        segment of another user that this process may not open for\n"
     "        writing; with `mode`, \"EACCES: Permission denied: '/x' is owned\n"
     "        by uid 1000 with mode 0o644; ...\" for one it may not reuse.\n"
     "    OSError: \"EINVAL: Invalid argument\" for a name the system refuses\n"
     "        (an inner \"/\", a NUL character) or a size of 2**63 or more;\n"
     "        \"ENAMETOOLONG: File name too long\" (or EINVAL) for a name of\n"
     "        more than 255 bytes; \"ENOSPC: No space left on device\" when\n"
     "        /dev/shm is full.\n"
     "    TypeError: `name` is not a str, `size` is not an int, or `mode` is\n"
     "        neither an int nor None.\n"
     "    OverflowError: `size` is negative or above 2**64 - 1.\n\n"
     "Example:\n\n"
     "    >>> shm = SharedMemory.create(\"/private\", 4 + 1024, 0o600, exclusive=True)\n"
     "    >>> SharedMemory.create(\"/private\", 4 + 1024, exclusive=True)\n"
     "    Traceback (most recent call last):\n"
     "      ...\n"
     "    FileExistsError: EEXIST: File exists\n"
     "    >>> SharedMemory.remove(\"/private\")"},
    {"open", py::as_cfunction(py::static_fastcall_entry<open>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     kOpenDoc},
    {"remove", py::as_cfunction(py::static_fastcall_entry<remove>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "remove(name)\n--\n\n"
     "Remove the segment name `name` from the system.\n\n"
     "Handles and views of the segment, in every process, keep working; its\n"
     "memory is freed when the last of them is gone. Afterwards open(name)\n"
     "fails, and create(name) makes a new, separate segment. Called through\n"
     "an instance, it still removes `name`, not the instance's own segment.\n\n"
     "Raises:\n"
     "    ValueError: a malformed name, as for create().\n"
     "    OSError: \"ENOENT: No such file or directory\" when the name does not\n"
     "        exist (for example because it was removed already)."},
    {"map", py::as_cfunction(py::noargs_entry<g_type, map>), METH_NOARGS,
     "map($self)\n--\n\n"
     "Map the whole segment; return a new MappedView over it.\n\n"
     "Bytes 0..3 of the segment are the lock word and the rest is the data\n"
     "area, so the view's size() is size() - 4. Each call makes a separate\n"
     "mapping with its own cursor; it stays valid after this handle is\n"
     "collected and after the name is removed.\n\n"
     "On a creator handle every map() first stores 0 into the lock word. This\n"
     "clears holds left behind by a process that died while holding the lock,\n"
     "but it also cancels holds in force at that moment, so the creator maps\n"
     "before other processes use the segment. An opener never writes it.\n\n"
     "Raises:\n"
     "    ValueError: \"segment size must be > 4 bytes (rwlock header)\" when\n"
     "        the segment has 4 bytes or fewer (also an opened empty segment);\n"
     "        \"SharedMemory is closed\" after close().\n"
     "    OSError: the system refuses the mapping, e.g. \"ENOMEM: Out of\n"
     "        memory\"."},
    {"name", py::as_cfunction(py::noargs_entry<g_type, name>), METH_NOARGS,
     "name($self)\n--\n\n"
     "Return the segment name, exactly as given to create() or open().\n\n"
     "Raises ValueError \"SharedMemory is closed\" after close() (repr() still\n"
     "shows the name)."},
    {"size", py::as_cfunction(py::noargs_entry<g_type, size>), METH_NOARGS,
     "size($self)\n--\n\n"
     "Return the segment size in bytes recorded by this handle.\n\n"
     "That is the size passed to create(), or the size the system reported\n"
     "when open() ran. It is not refreshed if another process later grows the\n"
     "segment with create(). Raises ValueError \"SharedMemory is closed\"\n"
     "after close()."},
    {"spsc", py::as_cfunction(py::noargs_entry<g_type, spsc>), METH_NOARGS,
     "spsc($self)\n--\n\n"
     "Map the whole segment; return a new SpscRingBuffer over it.\n\n"
     "The segment holds a 24-byte header (head, tail, capacity), then the\n"
     "ring's data area of capacity bytes.\n\n"
     "On a creator handle every spsc() writes a fresh, empty header, dropping\n"
     "any messages still in the ring; the data area, size() - 24, must be a\n"
     "power of two. On an opener handle the header is used as it is found:\n"
     "open the ring after the creator's spsc() has returned. Each call makes a\n"
     "separate mapping.\n\n"
     "Raises:\n"
     "    ValueError: \"map_size must be > 24 bytes (spsc header)\" for a\n"
     "        segment of 24 bytes or fewer; on a creator handle, for instance\n"
     "        \"data capacity (4072) must be a power of two; try 2048 or 4096\";\n"
     "        \"SharedMemory is closed\" after close().\n"
     "    OSError: the system refuses the mapping."},
    {"queue", py::as_cfunction(py::noargs_entry<g_type, queue>), METH_NOARGS,
     "queue($self)\n--\n\n"
     "Map the whole segment; return a new Queue over it.\n\n"
     "The segment holds a 4608-byte queue header, then the queue's data\n"
     "area. On a creator handle every queue() writes a fresh, empty header\n"
     "whose capacity is the largest power of two that fits (dropping any\n"
     "items still in it); on an opener handle the header is used as it is\n"
     "found and checked. Queue.create() and Queue.open() do the same by\n"
     "capacity, with no size arithmetic.\n\n"
     "Raises:\n"
     "    ValueError: a segment too small for a queue of 64 bytes; on an\n"
     "        opener handle, a segment that holds no queue header;\n"
     "        \"SharedMemory is closed\" after close().\n"
     "    OSError: the system refuses the mapping."},
    {"close", py::as_cfunction(py::noargs_entry<g_type, close>), METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the handle's file descriptor; closing again does nothing.\n\n"
     "Views made from the handle stay valid, and so does the segment: only\n"
     "remove() removes it. Afterwards every member but close(), closed(),\n"
     "repr() and pickling raises ValueError \"SharedMemory is closed\". A with\n"
     "block closes the handle at its end (and never removes the segment).\n\n"
     "Example:\n\n"
     "    >>> with SharedMemory.create(\"/scratch\", 4 + 64) as shm:\n"
     "    ...     view = shm.map()\n"
     "    >>> shm\n"
     "    SharedMemory(name='/scratch', size=68, role=creator, closed=true)\n"
     "    >>> shm.size()\n"
     "    Traceback (most recent call last):\n"
     "      ...\n"
     "    ValueError: SharedMemory is closed\n"
     "    >>> view.write(b\"still mapped\")\n"
     "    >>> SharedMemory.remove(\"/scratch\")"},
    {"closed", py::as_cfunction(py::noargs_entry<g_type, closed>), METH_NOARGS,
     "closed($self)\n--\n\n"
     "Return True once close() has run (or the with block ended), else False."},
    {"__enter__", py::as_cfunction(py::noargs_entry<g_type, enter_context>), METH_NOARGS,
     "__enter__($self, /)\n--\n\n"
     "Return the handle itself; ValueError \"SharedMemory is closed\" once closed."},
    {"__exit__", py::as_cfunction(py::fastcall_entry<g_type, exit_context>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, /, *exc_info)\n--\n\n"
     "Close the handle (never remove the segment); exceptions go on."},
    {"__reduce__", py::as_cfunction(py::noargs_entry<g_type, reduce>), METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickle by name: unpickling calls SharedMemory.open(name) (the opener role)."},
    {"others_present", py::as_cfunction(py::noargs_entry<g_type, others_present>), METH_NOARGS,
     "others_present($self)\n--\n\n"
     "Return True if another live process has this segment open or mapped.\n\n"
     "Every process with a handle, view or ring of the segment is present on\n"
     "it; the kernel ends that presence when the process ends, however it ends\n"
     "(a lock on the segment's file, far beyond its data: see the layouts page).\n"
     "Programs that follow the byte layouts without this module hold no\n"
     "presence. Returns None when this process cannot tell (it could not open\n"
     "the segment's file again). Raises ValueError \"SharedMemory is closed\"\n"
     "after close()."},
    {"_clear_stale_lock", py::as_cfunction(py::fastcall_entry<g_type, clear_stale_lock>),
     METH_FASTCALL | METH_KEYWORDS,
     "_clear_stale_lock($self, observed)\n--\n\n"
     "Internal, for tools/kelparine-inspect --clear-stale-lock: set the lock word\n"
     "to 0 only if it still reads `observed` (one compare-and-swap); return\n"
     "whether it did."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<SharedMemoryState>)},
    {Py_tp_doc, const_cast<char*>(
                    "A handle on one named POSIX shared-memory segment.\n\n"
                    "A segment is a file in /dev/shm, named like \"/telemetry\", that every\n"
                    "process on the host can map. It lives until SharedMemory.remove(name)\n"
                    "(or a reboot), whatever happens to the processes that use it.\n\n"
                    "Handles are made by the static methods create() (the creator role) and\n"
                    "open() (the opener role); the class itself cannot be called or\n"
                    "subclassed. A handle makes views of the whole segment:\n\n"
                    "    map()   a MappedView: a 4-byte lock word, then the data area\n"
                    "    spsc()  a SpscRingBuffer: a 24-byte ring header, then the ring data\n\n"
                    "The role matters only when a view is made: a creator's map() clears the\n"
                    "lock word and a creator's spsc() writes an empty ring header; an opener\n"
                    "never writes a header. close() (or the end of a with block, or collecting\n"
                    "the handle) closes its file descriptor and nothing else: views made from\n"
                    "it stay valid, and so does the segment. A handle pickles by name: the\n"
                    "receiving process gets SharedMemory.open(name), an opener.\n\n"
                    "Failures of the system raise the OSError subclass for their errno\n"
                    "(FileNotFoundError for ENOENT, PermissionError, ...) with errno set and\n"
                    "a text that names the error, for example\n"
                    "\"ENOENT: No such file or directory\".\n\n"
                    "Example:\n\n"
                    "    >>> shm = SharedMemory.create(\"/telemetry\", 4 + 4096)\n"
                    "    >>> shm\n"
                    "    SharedMemory(name='/telemetry', size=4100, role=creator)\n"
                    "    >>> other = SharedMemory.open(\"/telemetry\")\n"
                    "    >>> other.name(), other.size()\n"
                    "    ('/telemetry', 4100)\n"
                    "    >>> SharedMemory.remove(\"/telemetry\")")},
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

// pickle saves a function as the module and dotted name that its __reduce__ gives, after
// checking that they lead back to the same object. The function of a static method records
// its class as its self, so its __reduce__ names the class, which pickle cannot find again
// (the class reports the module "builtins"). SharedMemory.open is therefore replaced by the
// same entry point as a function without a self, in module "kelparine", named
// "SharedMemory.open": pickle then records kelparine / SharedMemory.open (protocol 4 and later,
// the default), and a handle's __reduce__ can name it as the way to rebuild the handle. Its
// text signature still reads "(name, size=None)": the interpreter matches only the part of a
// dotted name after the last dot against the docstring.
PyMethodDef kOpenByReference{"SharedMemory.open", py::as_cfunction(py::static_fastcall_entry<open>),
                             METH_FASTCALL | METH_KEYWORDS, kOpenDoc};

PyResult<void> make_open_picklable(PyTypeObject* type) noexcept {
    Ref module = Ref::steal(PyUnicode_FromString("kelparine"));
    if (!module) return py::python_error();
    Ref function = Ref::steal(PyCFunction_NewEx(&kOpenByReference, nullptr, module.get()));
    if (!function) return py::python_error();
    Ref method = Ref::steal(PyStaticMethod_New(function.get()));
    if (!method || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "open", method.get()) != 0)
        return py::python_error();
    return {};
}

}  // namespace

py::PyResult<PyTypeObject*> shared_memory_type() noexcept {
    static bool open_by_reference = false;
    auto type = py::make_type(g_type, kSpec);
    if (!type || open_by_reference) return type;
    if (auto done = make_open_picklable(*type); !done) return std::unexpected(std::move(done.error()));
    open_by_reference = true;
    return type;
}

py::PyResult<py::Ref> open_handle(std::string_view name) { return wrap(PlatformHandle::open(name), false); }

namespace {

// SpscRingBuffer.create()'s `capacity`: an int or __index__ object, not a bool (True is not
// a size anyone means). Negative or above 2**64 - 1: the interpreter's OverflowError, as for
// create()'s `size`.
PyResult<std::uint64_t> to_capacity(PyObject* value) noexcept {
    if (PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "'capacity' must be an integer, not 'bool'");
        return py::python_error();
    }
    return py::to_u64(value, "capacity");
}

// Removes the segment a ring maker created if the ring is not made after all, on every way
// out (errors and C++ exceptions alike), unless keep() was called. Only a segment the call
// made and sized first is removed, and not once another process is present on it: a creator
// that came meanwhile shares it and keeps it.
class RemoveUnlessKept {
public:
    RemoveUnlessKept(const PlatformHandle& handle, const presence::Presence& presence) noexcept
        : handle_(handle), presence_(presence) {}
    RemoveUnlessKept(const RemoveUnlessKept&) = delete;
    RemoveUnlessKept& operator=(const RemoveUnlessKept&) = delete;
    ~RemoveUnlessKept() {
        if (!kept_ && handle_.made() && presence_.others_present() != true)
            (void)PlatformHandle::remove(handle_.name());
    }
    void keep() noexcept { kept_ = true; }

private:
    const PlatformHandle& handle_;
    const presence::Presence& presence_;
    bool kept_ = false;
};

}  // namespace

constexpr py::Signature<4> kCreateRing{"create", {"name", "capacity", "mode", "exclusive"}, 2, 3};
py::PyResult<py::Ref> create_ring(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> bound{};
    if (!py::bind(kCreateRing, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    auto capacity = to_capacity(bound[1]);
    if (!capacity) return std::unexpected(std::move(capacity.error()));
    auto options = to_create_options(bound[2], bound[3]);
    if (!options) return std::unexpected(std::move(options.error()));
    // The capacity before the name, as SharedMemory.create() checks its size first.
    if (auto valid = SpscRing::check_capacity(*capacity); !valid) return py::fail(std::move(valid.error()));
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    py::GilHooks hooks;
    auto handle = PlatformHandle::create(*name, SPSC_HEADER_SIZE + *capacity, hooks, *options);
    if (!handle) return py::fail(std::move(handle.error()));
    // The handle's own presence, as SharedMemory.create() would hold until its handle went:
    // the segment is never without this process's presence while the ring is being made.
    const presence::Presence handle_presence = presence::Presence::take(handle->fd());
    RemoveUnlessKept undo(*handle, handle_presence);
    auto mapping = map_as_ring(*handle, true);
    if (!mapping) return std::unexpected(std::move(mapping.error()));
    auto ring = new_spsc_ring_buffer(std::move(*mapping), handle->name(), presence::Presence::take(handle->fd()));
    if (ring) undo.keep();
    return ring;  // the descriptor closes with `handle`: the ring keeps its mapping
}

constexpr py::Signature<1> kOpenRing{"open", {"name"}, 1};
py::PyResult<py::Ref> open_ring(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!py::bind(kOpenRing, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    auto handle = PlatformHandle::open(*name);
    if (!handle) return py::fail(std::move(handle.error()));
    auto mapping = map_as_ring(*handle, false);
    if (!mapping) return std::unexpected(std::move(mapping.error()));
    if (auto sane = SpscRing(mapping->base(), mapping->size()).check_opened(handle->name()); !sane)
        return py::fail(std::move(sane.error()));
    return new_spsc_ring_buffer(std::move(*mapping), handle->name(), presence::Presence::take(handle->fd()));
}

namespace {

constexpr py::Signature<4> kQueueCreate{"create", {"name", "capacity", "mode", "exclusive"}, 2, 3};
constexpr py::Signature<1> kQueueOpen{"open", {"name"}, 1};

// A named queue's segment, mapped, and this process's presence on it; the handle closes.
PyResult<Ref> queue_over(Result<PlatformHandle> handle, std::optional<std::uint64_t> capacity) {
    if (!handle) return py::fail(std::move(handle.error()));
    auto mapping = handle->map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    const Status ready = capacity ? MpmcQueue::init(mapping->base(), mapping->size(), *capacity, MpmcQueue::random_key())
                                  : MpmcQueue::check(mapping->base(), mapping->size());
    if (!ready) return py::fail(std::move(ready.error()));
    presence::Presence presence = presence::Presence::take(handle->fd());
    return new_queue(std::move(*mapping), handle->name(), OwnedFd(), std::move(presence), 0);
}

}  // namespace

py::PyResult<py::Ref> create_named_queue(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> bound{};
    if (!py::bind(kQueueCreate, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    auto capacity = queue_object::to_capacity(bound[1]);
    if (!capacity) return std::unexpected(std::move(capacity.error()));
    auto mode = to_mode(bound[2]);
    if (!mode) return std::unexpected(std::move(mode.error()));
    CreateOptions options{.mode = *mode};
    if (bound[3] != nullptr) {
        const int exclusive = PyObject_IsTrue(bound[3]);
        if (exclusive < 0) return py::python_error();
        options.exclusive = exclusive != 0;
    }
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    py::GilHooks hooks;
    return queue_over(PlatformHandle::create(*name, queue_layout::segment_size(*capacity), hooks, options), *capacity);
}

py::PyResult<py::Ref> open_named_queue(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!py::bind(kQueueOpen, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "name");
    if (!name) return std::unexpected(std::move(name.error()));
    if (auto valid = validate_name(*name); !valid) return py::fail(std::move(valid.error()));
    return queue_over(PlatformHandle::open(*name), std::nullopt);
}

}  // namespace kelparine
