// The awaitable members of Queue (aget, aput, aget_many, aput_many, async for) and what the event
// loops' Notifier (ring/ring_async.cpp) needs to await a queue with the process's waiter.
#pragma once

#include <optional>

#include "../core/wait/waiter.hpp"
#include "queue_object.hpp"

namespace kelparine::queue_object {

// With the interpreter lock: arms an await of `role`. nullopt when there is nothing to wait for:
// an item looks ready (consumer), room for `span` record bytes looks free within maxsize
// (producer), or, with `eof_ready`, the queue is empty and its producers are gone. Otherwise a
// watch for the waiter, with the role's await hold taken (its waiter bit announced): the caller
// gives it back with end_await(`generation`) once the watch is disarmed. EOFError /
// BrokenPipeError at the peer's end; ValueError on a closed queue.
py::PyResult<std::optional<wait::Watch>> arm_await(QueueState& s, Role role, std::uint64_t span, bool eof_ready,
                                                   std::uint64_t& generation);
void end_await(QueueState& s, Role role, std::uint64_t generation) noexcept;
// At a waiter tick: whether the await should look again (closed, the peer gone, or a record in
// flight at head whose producer may be gone).
bool await_look(QueueState& s, Role role) noexcept;
// close(): the await holds' bits are retired and their slots given back before the slots go.
void drop_awaits(QueueState& s) noexcept;

py::PyResult<py::Ref> aget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aput(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aget_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> aput_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// __anext__: the awaitable of the next item; StopAsyncIteration at the producers' end.
PyObject* next_item_awaitable(PyObject* self) noexcept;

// Adds the helpers kelparine/_aio.py uses for queues to its `_native` module.
py::PyResult<void> add_natives(PyObject* module);

}  // namespace kelparine::queue_object
