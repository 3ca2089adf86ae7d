"""Coroutines of SpscRingBuffer's and Queue's awaitable members (aget, aput, areserve, ...).

Loaded by the extension on first use (never an attribute of the kelparine module), which gives
it `_native`: the Notifier type (one per event loop: an eventfd the loop watches with
add_reader, and the arming of ring words with the process's waiter thread) and small helpers.

Every message is moved by the blocking member with timeout=0 (a single attempt, in the loop's
thread, waking the peer as the blocking forms do): an await that is cancelled or times out was
only ever parked, so it has taken, lent or written nothing. When the attempt finds nothing the
coroutine arms the ring's word and awaits a future that the loop's reader callback resolves
when the waiter thread reports the word moved (or, every 16 ms, that the peer or the ring may
have ended); timeouts are the loop's own timers.

Works on any loop with add_reader (asyncio's, uvloop's), and under trio (the same eventfd,
watched by a system task of the run with trio.lowlevel.wait_readable); so under anyio on either
backend too.

A Queue is awaited the same way: its items move only through single attempts (get with
block=False, get_many and puts with no wait), and the Notifier arms the queue's sequence word
with the process's waiter bit for the queue announced, so the queue's own wakes reach the waiter.
"""

import asyncio
import math
import os
import sys
import time
import weakref
from queue import Empty as _Empty
from queue import Full as _Full

_native = globals()["_native"]  # set by the extension before this runs
_payload_size = _native.payload_size
_seconds_text = _native.seconds_text
_queue_put = _native.queue_put
_queue_done = _native.queue_done
_queue_in_flight = _native.queue_in_flight

PRODUCER, CONSUMER = 0, 1
_READY, _TICK = 0, 1

# A caller that keeps finding messages ready never parks, so it would never let the loop run:
# after this many completions in a row the clock is looked at, and once this long has passed
# since the loop last ran, the next await yields to it first (before it takes anything, so a
# cancel landing there costs nothing).
_STREAK = 32
_TURN = 0.0005
_monotonic = time.monotonic
_streak = 0
_turn_started = _monotonic()


def _turn_is_over():
    global _streak
    _streak += 1
    if _streak < _STREAK:
        return False
    _streak = 0
    return _monotonic() - _turn_started >= _TURN


def _resume(future):
    if not future.done():
        future.set_result(None)


async def _yield_to_loop():
    # Not asyncio.sleep(0): that queues this task's next step while the loop's turn has yet to
    # run the timers and readers that came due, so the callbacks they wake would only run after
    # another whole turn of this task. Resolving a future from a callback queued now puts this
    # task's next step behind the steps those wake.
    global _turn_started
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        await _current_hub().checkpoint()  # trio: a schedule point runs every task due first
    else:
        future = loop.create_future()
        loop.call_soon(_resume, future)
        await future
    _turn_started = _monotonic()


class _Hub:
    """One asyncio event loop's side: its Notifier, and the futures awaiting each armed token."""

    def __init__(self, loop):
        self.loop = loop
        self.notifier = _native.Notifier()
        # Weak: a loop closed with awaits still parked leaves their tasks to the collector,
        # which closes their coroutines, and so disarms their watches (a queue's waiter bit is
        # given back then, not when another loop next makes a hub).
        self.waiting = weakref.WeakValueDictionary()
        loop.add_reader(self.notifier.fileno(), self._on_events)

    def _on_events(self):
        for token, kind in self.notifier.drain():
            future = self.waiting.get(token)
            if future is None or future.done():
                continue
            if kind == _TICK and not self.notifier.look(token):
                continue
            future.set_result(True)

    def time(self):
        return self.loop.time()

    async def park(self, tokens, deadline):
        loop = self.loop
        future = loop.create_future()
        for token in tokens:
            self.waiting[token] = future
        timer = None if deadline is None else loop.call_at(deadline, _expire, future)
        try:
            return await future
        finally:
            if timer is not None:
                timer.cancel()
            self._forget(tokens)

    def _forget(self, tokens):
        for token in tokens:
            self.waiting.pop(token, None)
            self.notifier.disarm(token)

    async def sleep(self, seconds):
        if seconds is None:
            await self.loop.create_future()  # forever
        await asyncio.sleep(seconds)

    def close(self):
        try:
            self.loop.remove_reader(self.notifier.fileno())
        except Exception:  # a closed loop: nothing is watched any more
            pass
        self.notifier.close()


_hubs = {}


def _hub(loop):
    hub = _hubs.get(loop)
    if hub is None:
        for old in [other for other in _hubs if other.is_closed()]:
            _hubs.pop(old).close()
        hub = _hubs[loop] = _Hub(loop)
    return hub


def _forget_hubs():
    # A forked child has none of the parent's waiter threads; its loops get new hubs.
    _hubs.clear()


os.register_at_fork(after_in_child=_forget_hubs)


def _expire(future):
    if not future.done():
        future.set_result(False)


class _TrioHub(_Hub):
    """One trio run's side: its Notifier, whose eventfd a system task of the run watches, and the
    events awaited for each armed token. Made on first use in the run and closed when it ends."""

    def __init__(self, trio):
        self.trio = trio
        self.notifier = _native.Notifier()
        self.waiting = {}
        trio.lowlevel.spawn_system_task(self._watch, name="kelparine waiter events")

    async def _watch(self):
        trio = self.trio
        try:
            while True:
                await trio.lowlevel.wait_readable(self.notifier.fileno())
                self._on_events()
        finally:  # the run is ending: every await of it is over
            self.notifier.close()

    def _on_events(self):
        for token, kind in self.notifier.drain():
            event = self.waiting.get(token)
            if event is None or event.is_set():
                continue
            if kind == _TICK and not self.notifier.look(token):
                continue
            event.set()

    def time(self):
        return self.trio.current_time()

    async def park(self, tokens, deadline):
        trio = self.trio
        event = trio.Event()
        for token in tokens:
            self.waiting[token] = event
        try:
            with trio.move_on_at(math.inf if deadline is None else deadline):
                await event.wait()
            return event.is_set()
        finally:
            self._forget(tokens)

    async def sleep(self, seconds):
        await (self.trio.sleep_forever() if seconds is None else self.trio.sleep(seconds))

    async def checkpoint(self):
        await self.trio.lowlevel.checkpoint()


_trio_hubs = None  # trio.lowlevel.RunVar of the run's _TrioHub, made once trio is first seen


def _current_hub():
    """The running loop's hub: asyncio's (uvloop's), else trio's. Outside both, asyncio's
    RuntimeError."""
    global _trio_hubs
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        trio = sys.modules.get("trio")  # a trio run has imported it
        if trio is None:
            raise
        try:
            trio.lowlevel.current_trio_token()
        except RuntimeError:
            pass
        else:
            if _trio_hubs is None:
                _trio_hubs = trio.lowlevel.RunVar("kelparine_hub")
            hub = _trio_hubs.get(None)
            if hub is None:
                hub = _TrioHub(trio)
                _trio_hubs.set(hub)
            return hub
        raise
    return _hub(loop)


async def _park(hub, tokens, deadline):
    """True once a token fired (look again), False when the deadline passed."""
    global _turn_started
    try:
        return await hub.park(tokens, deadline)
    finally:
        _turn_started = _monotonic()


def _timed_out(member, timeout, waiting_for):
    return TimeoutError(f"{member}() timed out after {_seconds_text(timeout)} s {waiting_for}")


async def _wait_until_ready(ring, role, need, timeout, deadline, member, waiting_for):
    """Waits until the ring has a message (CONSUMER) or room for `need` payload bytes
    (PRODUCER). Raises TimeoutError, EOFError, BrokenPipeError or ValueError (closed)."""
    if timeout == 0:
        raise _timed_out(member, timeout, waiting_for() if callable(waiting_for) else waiting_for)
    hub = _current_hub()
    while True:
        token = hub.notifier.arm(ring, role, need, False)
        if token is None:
            return
        if not await _park(hub, (token,), deadline):
            raise _timed_out(member, timeout, waiting_for() if callable(waiting_for) else waiting_for)


def _deadline(timeout):
    return None if timeout is None else _current_hub().time() + timeout


async def _take(ring, attempt, arg, timeout, member):
    deadline = None
    while True:
        try:
            return attempt(arg, 0)
        except TimeoutError:
            pass
        if deadline is None and timeout is not None:
            deadline = _deadline(timeout)
        await _wait_until_ready(ring, CONSUMER, 0, timeout, deadline, member, "with no message")


async def aget(ring, tag, timeout):
    if _turn_is_over():
        await _yield_to_loop()
    try:
        return ring.get(tag, 0)
    except TimeoutError:
        pass
    return await _take(ring, ring.get, tag, timeout, "aget")


async def aget_mixed(ring, schema, timeout):
    if _turn_is_over():
        await _yield_to_loop()
    return await _take(ring, ring.get_mixed, schema, timeout, "aget_mixed")


async def aget_into(ring, buffer, timeout):
    if _turn_is_over():
        await _yield_to_loop()
    return await _take(ring, ring.get_into, buffer, timeout, "aget_into")


async def aput(ring, data, timeout):
    if _turn_is_over():
        await _yield_to_loop()
    try:
        return ring.put(data, 0)
    except TimeoutError:
        pass
    need = _payload_size(data)
    deadline = _deadline(timeout)

    def room():
        return (f"for room: the message needs {need + 4} bytes of the ring and {ring.free()} are free")

    while True:
        await _wait_until_ready(ring, PRODUCER, need, timeout, deadline, "aput", room)
        try:
            return ring.put(data, 0)
        except TimeoutError:
            pass


async def anext(ring):
    try:
        return await aget(ring, None, None)
    except EOFError:
        raise StopAsyncIteration from None


async def aselect(rings, timeout):
    if _turn_is_over():
        await _yield_to_loop()
    if not rings:
        await _current_hub().sleep(timeout)  # as select([]): without a timeout, forever
        return []
    from kelparine import SpscRingBuffer  # the package is loaded: it loaded this module

    select = SpscRingBuffer.select
    deadline = _deadline(timeout)
    hub = None
    fired = False
    while True:
        ready = select(rings, 0)
        if ready or timeout == 0:
            return ready
        if fired:
            # A queue woke the wait with nothing ready: a record in flight at its head whose
            # producer may be gone, which only a get (with the lock) skips; as select() does.
            stuck = [ring for ring in rings if type(ring) is not SpscRingBuffer and _queue_in_flight(ring)]
            if stuck:
                return stuck
        if hub is None:
            hub = _current_hub()
        tokens = []
        ended = []
        try:
            for ring in rings:
                token = hub.notifier.arm(ring, CONSUMER, 0, True)
                if token is None:
                    ended.append(ring)
                else:
                    tokens.append(token)
        except BaseException:
            for token in tokens:
                hub.notifier.disarm(token)
            raise
        if ended:
            for token in tokens:
                hub.notifier.disarm(token)
            ready = select(rings, 0)
            return ready + [ring for ring in ended if ring not in ready]
        if not await _park(hub, tokens, deadline):
            return []
        fired = True


class _Loan:
    """`async with ring.areserve(n)` / `ring.aborrow()`: waits for room or a message, then enters
    the blocking loan with timeout=0 in the loop's thread, so a cancel can only land before it."""

    __slots__ = ("_ring", "_size", "_timeout", "_loan")

    def __init__(self, ring, size, timeout):
        self._ring = ring
        self._size = size  # None: a borrow
        self._timeout = timeout
        self._loan = None

    async def __aenter__(self):
        if self._loan is not None:
            member = "borrow" if self._size is None else "reserve"
            raise RuntimeError(f"this {member}() loan was entered already; call {member}() again for another")
        ring, size, timeout = self._ring, self._size, self._timeout
        if _turn_is_over():
            await _yield_to_loop()
        deadline = _deadline(timeout)
        while True:
            loan = ring.borrow(0) if size is None else ring.reserve(size, 0)
            try:
                view = loan.__enter__()
            except TimeoutError:
                pass
            else:
                self._loan = loan
                return view
            if size is None:
                await _wait_until_ready(ring, CONSUMER, 0, timeout, deadline, "aborrow", "with no message")
            else:
                await _wait_until_ready(ring, PRODUCER, size, timeout, deadline, "areserve", "waiting for room")

    async def __aexit__(self, *exc):
        loan = self._loan
        if loan is None:
            return False
        return loan.__exit__(*exc)


def areserve(ring, size, timeout):
    return _Loan(ring, size, timeout)


def aborrow(ring, timeout):
    return _Loan(ring, None, timeout)


# --- Queue ---------------------------------------------------------------------------------------

async def _queue_park(hub, queue, role, need, deadline):
    """Arms the queue's word and parks: True to try again, False once the deadline passed."""
    token = hub.notifier.arm(queue, role, need, False)
    if token is None:
        # It looks ready, yet the attempt found nothing (another consumer was first, or a record
        # is not quite committed): the loop still gets its turns while that lasts.
        if _turn_is_over():
            await _yield_to_loop()
        return True
    return await _park(hub, (token,), deadline)


async def queue_aget(queue, max_items, timeout):
    """aget (max_items None) and aget_many."""
    if _turn_is_over():
        await _yield_to_loop()
    hub = deadline = None
    while True:
        try:
            return queue.get(False) if max_items is None else queue.get_many(max_items, 0)
        except _Empty:
            if timeout == 0:
                raise
        if hub is None:
            hub = _current_hub()
            deadline = None if timeout is None else hub.time() + timeout
        if not await _queue_park(hub, queue, CONSUMER, 0, deadline):
            raise _Empty


async def queue_aput(queue, pending, timeout, many):
    """aput and aput_many (`many`): `pending` holds the items, pickled at the call."""
    if _turn_is_over():
        await _yield_to_loop()
    hub = deadline = None
    while True:
        need = _queue_put(queue, pending)  # the record bytes the next item needs; 0: all in
        if need == 0 or timeout == 0:
            break
        if hub is None:
            hub = _current_hub()
            deadline = None if timeout is None else hub.time() + timeout
        if not await _queue_park(hub, queue, PRODUCER, need, deadline):
            break
    if many:
        return _queue_done(pending)
    if need:
        raise _Full
    return None


async def queue_anext(queue):
    try:
        return await queue_aget(queue, None, None)
    except EOFError:
        raise StopAsyncIteration from None
