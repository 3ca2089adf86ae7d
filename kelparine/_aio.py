"""Coroutines of SpscRingBuffer's awaitable members (aget, aput, areserve, ...).

Loaded by the extension on first use (never an attribute of the kelparine module), which gives
it `_native`: the Notifier type (one per event loop: an eventfd the loop watches with
add_reader, and the arming of ring words with the process's waiter thread) and small helpers.

Every message is moved by the blocking member with timeout=0 (a single attempt, in the loop's
thread, waking the peer as the blocking forms do): an await that is cancelled or times out was
only ever parked, so it has taken, lent or written nothing. When the attempt finds nothing the
coroutine arms the ring's word and awaits a future that the loop's reader callback resolves
when the waiter thread reports the word moved (or, every 16 ms, that the peer or the ring may
have ended); timeouts are the loop's own timers.

Works on any loop with add_reader (asyncio's, uvloop's), and so under anyio's asyncio backend.
"""

import asyncio
import os
import time

_native = globals()["_native"]  # set by the extension before this runs
_payload_size = _native.payload_size
_seconds_text = _native.seconds_text

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


async def _yield_to_loop():
    global _turn_started
    await asyncio.sleep(0)
    _turn_started = _monotonic()


class _Hub:
    """One event loop's side: its Notifier, and the futures awaiting each armed token."""

    def __init__(self, loop):
        self.loop = loop
        self.notifier = _native.Notifier()
        self.waiting = {}
        loop.add_reader(self.notifier.fileno(), self._on_events)

    def _on_events(self):
        for token, kind in self.notifier.drain():
            future = self.waiting.get(token)
            if future is None or future.done():
                continue
            if kind == _TICK and not self.notifier.look(token):
                continue
            future.set_result(True)

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


async def _park(hub, tokens, deadline):
    """True once a token fired (look again), False when the deadline passed."""
    loop = hub.loop
    future = loop.create_future()
    for token in tokens:
        hub.waiting[token] = future
    timer = None if deadline is None else loop.call_at(deadline, _expire, future)
    global _turn_started
    try:
        return await future
    finally:
        _turn_started = _monotonic()
        if timer is not None:
            timer.cancel()
        for token in tokens:
            hub.waiting.pop(token, None)
            hub.notifier.disarm(token)


def _timed_out(member, timeout, waiting_for):
    return TimeoutError(f"{member}() timed out after {_seconds_text(timeout)} s {waiting_for}")


async def _wait_until_ready(ring, role, need, timeout, deadline, member, waiting_for):
    """Waits until the ring has a message (CONSUMER) or room for `need` payload bytes
    (PRODUCER). Raises TimeoutError, EOFError, BrokenPipeError or ValueError (closed)."""
    if timeout == 0:
        raise _timed_out(member, timeout, waiting_for() if callable(waiting_for) else waiting_for)
    loop = asyncio.get_running_loop()
    hub = _hub(loop)
    while True:
        token = hub.notifier.arm(ring, role, need, False)
        if token is None:
            return
        if not await _park(hub, (token,), deadline):
            raise _timed_out(member, timeout, waiting_for() if callable(waiting_for) else waiting_for)


def _deadline(timeout):
    return None if timeout is None else asyncio.get_running_loop().time() + timeout


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
    select = type(rings[0]).select if rings else None
    if not rings:
        if timeout is None:
            await asyncio.get_running_loop().create_future()  # as select([]) without a timeout: forever
        await asyncio.sleep(timeout)
        return []
    deadline = _deadline(timeout)
    hub = None
    while True:
        ready = select(rings, 0)
        if ready or timeout == 0:
            return ready
        if hub is None:
            hub = _hub(asyncio.get_running_loop())
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
