"""The two awaitable ring calls the bridge needs, in one place.

A ring with awaitable members (`aget`, `aput`) is used through them. Without them, each call
polls: a short blocking wait (so that the ring's own end-of-stream and dead-consumer checks
still run and raise EOFError / BrokenPipeError), then an asyncio sleep that grows while
nothing changes. Cancelling either call takes nothing from, and writes nothing to, the ring.
"""

import asyncio

PROBE_SECONDS = 0.0002  # a blocking wait short enough not to hold up the event loop
FIRST_PAUSE = 0.0002    # the first sleep between probes; it doubles up to LAST_PAUSE
LAST_PAUSE = 0.002


async def get_batch(ring, most):
    """Waits for a message in `ring` and returns it with those behind it, up to `most`
    messages in all. Raises EOFError as ring.get() does once the producer is gone and every
    message has been taken."""
    aget = getattr(ring, "aget", None)
    if aget is not None:
        first = await aget()
        return [first, *ring.pop_many(most - 1)] if most > 1 else [first]
    pause = FIRST_PAUSE
    while True:
        try:
            return ring.get_many(most, PROBE_SECONDS)
        except TimeoutError:
            pass
        await asyncio.sleep(pause)
        pause = min(pause * 2, LAST_PAUSE)


async def put(ring, message):
    """Writes `message` into `ring`, waiting for room. Raises BrokenPipeError as ring.put()
    does once the consumer it saw is gone."""
    aput = getattr(ring, "aput", None)
    if aput is not None:
        await aput(message)
        return
    pause = FIRST_PAUSE
    while True:
        try:
            ring.put(message, PROBE_SECONDS)
            return
        except TimeoutError:
            pass
        await asyncio.sleep(pause)
        pause = min(pause * 2, LAST_PAUSE)
