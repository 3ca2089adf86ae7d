// Reference texts of the SpscRingBuffer members that wait, and of its handle members. Each
// starts with the text signature the interpreter shows (up to "--").
#pragma once

namespace kelparine::ring_object::docs {

inline constexpr const char kPut[] =
    "put($self, data, timeout=None)\n--\n\n"
    "Append one message, waiting for room if the ring is full; return None.\n\n"
    "`data` is encoded as push() encodes it. While the ring lacks room the\n"
    "call waits: a short spin, then asleep (the interpreter lock given up,\n"
    "no processor used) until the consumer makes room. A consumer that uses\n"
    "get(), get_mixed() or the bulk members wakes it at once; one that only\n"
    "polls with pop() is noticed within a few milliseconds.\n\n"
    "`timeout` None waits for as long as it takes; a number of seconds bounds\n"
    "the wait (0: a single attempt). Producer side, like push().\n\n"
    "Raises:\n"
    "    TimeoutError: the time ran out; nothing was written.\n"
    "    ValueError: \"message too large: ...\" at once for a message that\n"
    "        could never fit; the encoding errors of push(); a negative or\n"
    "        NaN `timeout`; \"SpscRingBuffer is closed\" (also when another\n"
    "        thread closes the ring during the wait).\n"
    "    TypeError: `timeout` is not a number.\n"
    "    KeyboardInterrupt: Ctrl-C during the wait (main thread); nothing\n"
    "        was written.\n\n"
    "Example:\n\n"
    "    >>> ring.put(b\"job-1\")\n"
    "    >>> ring.put(b\"x\" * 10_000, timeout=0)\n"
    "    Traceback (most recent call last):\n"
    "      ...\n"
    "    ValueError: message too large: frame_len=10004 > capacity=256...";

inline constexpr const char kGet[] =
    "get($self, tag=None, timeout=None)\n--\n\n"
    "Take the oldest message, waiting for one if the ring is empty.\n\n"
    "Once a message is there, the same as pop(tag): bytes without `tag`, the\n"
    "first value decoded by `tag` otherwise. While the ring is empty the call\n"
    "waits as put() does, and a producer using put() (or the bulk members)\n"
    "wakes it within microseconds. Consumer side, like pop().\n\n"
    "Raises:\n"
    "    TimeoutError: no message came in time; nothing was taken.\n"
    "    ValueError, TypeError: as for pop(), and for `timeout` as for put().\n"
    "    KeyboardInterrupt: Ctrl-C during the wait; nothing was taken.\n\n"
    "Example:\n\n"
    "    >>> ring.put(\"hello\")\n"
    "    >>> ring.get(\"str\")\n"
    "    'hello'\n"
    "    >>> ring.get(timeout=0.01)\n"
    "    Traceback (most recent call last):\n"
    "      ...\n"
    "    TimeoutError: get() timed out after 0.01 s with no message";

inline constexpr const char kGetMixed[] =
    "get_mixed($self, schema, timeout=None)\n--\n\n"
    "Take the oldest message decoded by `schema`, waiting for one if needed.\n\n"
    "Once a message is there, the same as pop_mixed(schema); waits and\n"
    "`timeout` as for get().\n\n"
    "Example:\n\n"
    "    >>> ring.put([7, 0.5, \"ok\"])\n"
    "    >>> ring.get_mixed([(\"i64\", 1), (\"f64\", 1), (\"str\", 1)], timeout=1)\n"
    "    [7, 0.5, 'ok']";

inline constexpr const char kSelect[] =
    "select(rings, timeout=None)\n--\n\n"
    "Wait until at least one of `rings` holds a message; return those that do.\n\n"
    "`rings` is a list or tuple of SpscRingBuffer objects (the consumer ends of\n"
    "several producers). The result lists the rings that held a message when\n"
    "the wait ended, in the order given; an empty list when `timeout` ran out,\n"
    "as select.select() does. Nothing is taken: pop from each ring returned.\n"
    "While all are empty the caller sleeps on all of them at once (futex_waitv\n"
    "on Linux 5.16 and later; on older kernels it wakes at once for the first\n"
    "ring and within a few milliseconds for the others).\n\n"
    "Raises:\n"
    "    TypeError: an element is not an SpscRingBuffer, or `rings` is not a\n"
    "        list or tuple; `timeout` as for get().\n"
    "    ValueError: a ring is closed (also during the wait).\n"
    "    KeyboardInterrupt: Ctrl-C during the wait.\n\n"
    "Example:\n\n"
    "    >>> a = SharedMemory.create(\"/in-a\", 24 + 64).spsc()\n"
    "    >>> b = SharedMemory.create(\"/in-b\", 24 + 64).spsc()\n"
    "    >>> b.put(b\"from b\")\n"
    "    >>> SpscRingBuffer.select([a, b]) == [b]\n"
    "    True\n"
    "    >>> SpscRingBuffer.select([a], timeout=0)\n"
    "    []\n"
    "    >>> SharedMemory.remove(\"/in-a\"); SharedMemory.remove(\"/in-b\")";

inline constexpr const char kClose[] =
    "close($self)\n--\n\n"
    "Unmap the ring now instead of when the object is collected.\n\n"
    "Closing twice is harmless; any other call on a closed ring raises\n"
    "ValueError \"SpscRingBuffer is closed\". The segment and its name stay:\n"
    "remove() is separate. Calls other threads are making on this object end\n"
    "first (a waiting put() or get() ends with that ValueError).\n\n"
    "Raises:\n"
    "    BufferError: a reserve() or borrow() loan of the ring is outstanding.";

inline constexpr const char kClosed[] =
    "closed($self)\n--\n\n"
    "Return True once close() has been called on this object, else False.";

inline constexpr const char kEnter[] =
    "__enter__($self)\n--\n\n"
    "Return the ring itself: `with shm.spsc() as ring:` closes it at the end.";

inline constexpr const char kExit[] =
    "__exit__($self, *args)\n--\n\n"
    "Close the ring (never removes the segment); exceptions propagate.";

}  // namespace kelparine::ring_object::docs
