// The awaitable members of SpscRingBuffer (ring_async.cpp; their coroutines are in
// kelparine/_aio.py), with their reference texts.
#pragma once

#include <initializer_list>

#include "ring_object.hpp"

namespace kelparine::ring_object {

py::PyResult<py::Ref> aget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aget_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aget_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aput(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> areserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aborrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aselect(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// __anext__: the awaitable of the next message; StopAsyncIteration at the producer's end of file.
PyObject* next_message_awaitable(PyObject* self) noexcept;

// For Queue's awaitable members (queue/queue_async.cpp): their coroutines in _aio.py, and the
// timeout as those take it (None for no bound, else float seconds; errors as the blocking forms').
enum class QueueAio : int { Aget, Aput, Anext };
py::PyResult<py::Ref> call_queue_aio(QueueAio which, std::initializer_list<PyObject*> args);
py::PyResult<py::Ref> aio_timeout(PyObject* value);

namespace docs {

#define KELPARINE_AWAIT_NOTE                                                  \
    "Awaiting it never blocks the event loop: a message (or room) already\n"  \
    "there is taken at once; otherwise the process's waiter thread parks on\n" \
    "the ring's word and wakes the loop. Cancelled or timed out, the await\n"  \
    "has taken, lent or written nothing. Works on asyncio, uvloop and trio.\n"

inline constexpr const char kAget[] =
    "aget($self, tag=None, timeout=None)\n--\n\n"
    "Awaitable get(): take the oldest message, waiting for one.\n\n"
    "Same arguments, result and errors as get(): TimeoutError when `timeout`\n"
    "seconds pass with no message, EOFError once the producer is gone and\n"
    "every message it published has been taken.\n\n" KELPARINE_AWAIT_NOTE;
inline constexpr const char kAgetMixed[] =
    "aget_mixed($self, schema, timeout=None)\n--\n\n"
    "Awaitable get_mixed(): take the oldest message decoded by `schema`.\n\n"
    "Same arguments, result and errors as get_mixed().\n\n" KELPARINE_AWAIT_NOTE;
inline constexpr const char kAgetInto[] =
    "aget_into($self, buffer, timeout=None)\n--\n\n"
    "Awaitable get_into(): copy the oldest message into `buffer`; return its\n"
    "length.\n\n"
    "Same arguments, result and errors as get_into().\n\n" KELPARINE_AWAIT_NOTE;
inline constexpr const char kAput[] =
    "aput($self, data, timeout=None)\n--\n\n"
    "Awaitable put(): append one message, waiting for room; return None.\n\n"
    "Same arguments, result and errors as put(): TimeoutError when\n"
    "`timeout` seconds pass without room, BrokenPipeError once the consumer\n"
    "is gone.\n\n" KELPARINE_AWAIT_NOTE;
inline constexpr const char kAreserve[] =
    "areserve($self, size, timeout=None)\n--\n\n"
    "Async context manager form of reserve(): `async with ring.areserve(n)\n"
    "as buf:` waits for room, then lends the next `size` payload bytes as a\n"
    "writable memoryview, published when the block ends cleanly (nothing is\n"
    "published if it raises), as reserve() does.\n\n" KELPARINE_AWAIT_NOTE;
inline constexpr const char kAborrow[] =
    "aborrow($self, timeout=None)\n--\n\n"
    "Async context manager form of borrow(): `async with ring.aborrow() as\n"
    "view:` waits for a message, then lends it in place as a read-only\n"
    "memoryview, consumed when the block ends, as borrow() does.\n\n" KELPARINE_AWAIT_NOTE;
inline constexpr const char kAselect[] =
    "aselect(rings, timeout=None)\n--\n\n"
    "Awaitable select(): the rings of `rings` that hold a message (or whose\n"
    "producer is gone), waiting for the first; [] when `timeout` passes.\n"
    "Queue objects are waited on beside rings, as select() takes them.\n\n"
    "Any number of rings: the waiter runs a thread per 127 awaited words.\n\n" KELPARINE_AWAIT_NOTE;

#undef KELPARINE_AWAIT_NOTE

}  // namespace docs

}  // namespace kelparine::ring_object
