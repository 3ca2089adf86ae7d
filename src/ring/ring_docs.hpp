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
    "    BrokenPipeError: the ring lacks room and its consumer is gone: no\n"
    "        live process holds the consumer role any more, after one was\n"
    "        seen holding it (see has_consumer()); nothing was written.\n"
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
    "    EOFError: the ring is empty and its producer is gone: no live process\n"
    "        holds the producer role any more, after one was seen holding it\n"
    "        (see has_producer()). Every message it published was taken first.\n"
    "        Reported once: the next call waits for a new producer. Iterating\n"
    "        the ring (`for message in ring`) calls get() until this end.\n"
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
    "Once a message is there, the same as pop_mixed(schema); waits,\n"
    "`timeout` and the end of file (EOFError) as for get().\n\n"
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
    "A ring whose producer is gone (as get() defines it) is returned too: its\n"
    "get() raises EOFError, as multiprocessing.connection.wait() returns a\n"
    "connection at its end of file. Selecting takes each ring's consumer role.\n"
    "Queue objects may be given too: a queue is returned when an item looks\n"
    "ready (or its producers are gone and it is empty); get() from it then.\n"
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

inline constexpr const char kPopInto[] =
    "pop_into($self, buffer)\n--\n\n"
    "Copy the oldest message into `buffer`; return its length, or None if empty.\n\n"
    "`buffer` is any writable C-contiguous buffer (bytearray, memoryview,\n"
    "NumPy array, array.array, mmap) at least as long as the message; the\n"
    "payload goes to its start and the rest is left alone. No object is made\n"
    "per message, so a loop over one reused buffer runs at the speed of the\n"
    "copy. Consumer side, like pop(); wakes a producer waiting in put().\n\n"
    "Raises:\n"
    "    ValueError: \"message of N bytes does not fit a buffer of M bytes\"\n"
    "        (the message stays in the ring); a buffer that is not contiguous;\n"
    "        \"corrupt ring header: ...\" as for pop().\n"
    "    TypeError: `buffer` is not a writable buffer (bytes, for instance).\n\n"
    "Example:\n\n"
    "    >>> ring.push(b\"abc\")\n"
    "    True\n"
    "    >>> into = bytearray(16)\n"
    "    >>> ring.pop_into(into), bytes(into[:3])\n"
    "    (3, b'abc')";

inline constexpr const char kGetInto[] =
    "get_into($self, buffer, timeout=None)\n--\n\n"
    "Copy the oldest message into `buffer`, waiting for one; return its length.\n\n"
    "pop_into() that waits as get() does; `timeout` as for get().\n\n"
    "Raises:\n"
    "    TimeoutError: no message came in time.\n"
    "    EOFError: the ring is empty and its producer is gone, as for get().\n"
    "    ValueError, TypeError: as for pop_into() and get().";

inline constexpr const char kPushMany[] =
    "push_many($self, items)\n--\n\n"
    "Append each item as a message of its own; return how many were written.\n\n"
    "Items are what push() takes. They are written in order until one does\n"
    "not fit, so the result is the count of a prefix of `items` (0 when the\n"
    "ring is full); no message is ever written in part. Every item is encoded\n"
    "before anything is written: an item that cannot be encoded, or could\n"
    "never fit, raises and nothing is written. The batch takes one look at\n"
    "the consumer's counter and publishes once, so many small messages cost\n"
    "little more than one.\n\n"
    "Raises:\n"
    "    ValueError, OverflowError, UnicodeEncodeError: as for push().\n"
    "    TypeError: `items` is not iterable.\n\n"
    "Example:\n\n"
    "    >>> ring.push_many([b\"a\", b\"bb\", [1, 2.5]])\n"
    "    3\n"
    "    >>> ring.pop_many(2)\n"
    "    [b'a', b'bb']";

inline constexpr const char kPopMany[] =
    "pop_many($self, max_messages, tag=None, *, schema=None)\n--\n\n"
    "Take up to `max_messages` of the oldest messages; return them as a list.\n\n"
    "Each is what pop(tag) would return, or with `schema` what\n"
    "pop_mixed(schema) would: records pushed as tuples by push_many() come\n"
    "back decoded, in one call, the schema converted once for the batch. The\n"
    "list is shorter when fewer are waiting, and empty when the ring is empty\n"
    "(or `max_messages` is 0). The batch takes one look at the producer's\n"
    "counter and stores the consumer's once.\n\n"
    "A message that fails to decode is met as pop(tag) or pop_mixed(schema)\n"
    "meets it. At the first message the call raises, and that message is\n"
    "taken and lost. At a later one the batch ends before it: the messages\n"
    "decoded so far are returned, and the failing one is left for the next\n"
    "call, which raises. A schema that is wrong in itself (an unknown tag, an\n"
    "entry that is not a (type_tag, count) tuple) raises before anything is\n"
    "taken.\n\n"
    "Consumer side, like pop(); wakes a producer waiting in put().\n\n"
    "Raises:\n"
    "    TypeError: both `tag` and `schema` given; `tag` not a str, `schema`\n"
    "        not a list (even on an empty ring).\n"
    "    ValueError, TypeError, IndexError, OverflowError: a bad schema entry\n"
    "        such as \"unknown type tag 'i65'\" (nothing is taken), or the\n"
    "        decoding errors of pop() and pop_mixed() at the first message.\n"
    "    ValueError: \"corrupt ring header: ...\" or \"corrupt frame: ...\", as\n"
    "        for pop().\n\n"
    "Example:\n\n"
    "    >>> ring.push_many([1, 2, 3])\n"
    "    3\n"
    "    >>> ring.pop_many(10, \"int\")\n"
    "    [1, 2, 3]\n"
    "    >>> ring.push_many([(1, 0.5, \"a\"), (2, 1.5, \"bb\")])\n"
    "    2\n"
    "    >>> ring.pop_many(10, schema=[(\"int\", 1), (\"float\", 1), (\"str\", 1)])\n"
    "    [[1, 0.5, 'a'], [2, 1.5, 'bb']]";

inline constexpr const char kGetMany[] =
    "get_many($self, max_messages, timeout=None, *, tag=None, schema=None)\n--\n\n"
    "Take up to `max_messages` messages, waiting for the first if none is there.\n\n"
    "While the ring is empty the call waits as get() does (`timeout` None:\n"
    "for as long as it takes; a number of seconds bounds the wait; 0: no\n"
    "wait). Once a message is there it returns what pop_many() returns at\n"
    "that moment, never waiting for more: at least one message, and up to\n"
    "`max_messages`, each as bytes, decoded by `tag`, or decoded by `schema`\n"
    "(converted once, before the wait). A `max_messages` of 0 returns []\n"
    "without waiting. Consumer side, like pop().\n\n"
    "Raises:\n"
    "    TimeoutError: no message came in time; nothing was taken.\n"
    "    EOFError: the ring is empty and its producer is gone, as for get().\n"
    "    ValueError, TypeError: as for pop_many() (a bad `tag` or `schema`\n"
    "        before any wait), and for `timeout` as for get().\n"
    "    KeyboardInterrupt: Ctrl-C during the wait; nothing was taken.\n\n"
    "Example:\n\n"
    "    >>> ring.push_many([(7, \"a\"), (8, \"b\")])\n"
    "    2\n"
    "    >>> ring.get_many(100, timeout=1, schema=[(\"int\", 1), (\"str\", 1)])\n"
    "    [[7, 'a'], [8, 'b']]\n"
    "    >>> ring.get_many(100, timeout=0.01)\n"
    "    Traceback (most recent call last):\n"
    "      ...\n"
    "    TimeoutError: get_many() timed out after 0.01 s with no message";

inline constexpr const char kReserve[] =
    "reserve($self, size, timeout=None)\n--\n\n"
    "Lend the next `size` bytes of the ring to write a message in place.\n\n"
    "    with ring.reserve(n) as buf:     # buf: a writable memoryview of n bytes\n"
    "        buf[:] = ...                  # or numpy.frombuffer(buf, ...)[:] = ...\n\n"
    "On a clean exit from the block the n bytes are published as one message\n"
    "(a consumer in get() is woken); if the block raises, nothing is\n"
    "published. Entering waits for room as put() does (`timeout` likewise).\n"
    "Where the free space wraps past the end of the ring, `buf` is a staging\n"
    "buffer instead, copied in at exit. At exit `buf` is released: using it\n"
    "later raises. A NumPy array or memoryview made from `buf` must be gone\n"
    "by then, or the exit raises BufferError and nothing is published (the\n"
    "loan ends, still unpublished, once that export is gone); if the block\n"
    "raised, its own exception goes on instead. While the loan lasts, other\n"
    "producer calls on this ring object raise RuntimeError. The payload starts\n"
    "4 bytes after its frame: for NumPy arrays, reserve_array() places the\n"
    "data 64-byte aligned and sends dtype and shape with it.\n\n"
    "Raises:\n"
    "    ValueError: \"message too large: ...\" at once for a size that could\n"
    "        never fit.\n"
    "    RuntimeError: a reserve() loan of this ring object is outstanding.\n"
    "    TimeoutError: no room came in time (on entering).\n"
    "    BrokenPipeError: no room and the consumer is gone, as for put().\n\n"
    "Example:\n\n"
    "    >>> with ring.reserve(5) as buf:\n"
    "    ...     buf[:] = b\"hello\"\n"
    "    >>> ring.pop()\n"
    "    b'hello'";

inline constexpr const char kBorrow[] =
    "borrow($self, timeout=None)\n--\n\n"
    "Lend the oldest message in place, read-only, for the span of a with block.\n\n"
    "    with ring.borrow() as buf:       # buf: a read-only memoryview\n"
    "        total = numpy.frombuffer(buf, numpy.float64).sum()\n\n"
    "The message is consumed when the block ends, cleanly or not. Entering\n"
    "waits for a message as get() does (`timeout` likewise). A message that\n"
    "wraps past the end of the ring is lent as a copy. At exit `buf` is\n"
    "released; an array or memoryview made from it must be gone by then, or\n"
    "the exit raises BufferError and nothing is consumed. If the block raised\n"
    "while such an export was alive, its own exception goes on, and the\n"
    "message is consumed once the export is gone. While the loan lasts, other\n"
    "consumer calls on this ring object raise RuntimeError.\n\n"
    "Raises:\n"
    "    RuntimeError: a borrow() loan of this ring object is outstanding.\n"
    "    TimeoutError: no message came in time (on entering).\n"
    "    EOFError: the ring is empty and its producer is gone, as for get().\n"
    "    ValueError: \"corrupt ring header: ...\" as for pop().\n\n"
    "Example:\n\n"
    "    >>> ring.push(b\"in place\")\n"
    "    True\n"
    "    >>> with ring.borrow() as buf:\n"
    "    ...     bytes(buf[:2])\n"
    "    b'in'\n"
    "    >>> ring.pop() is None\n"
    "    True";

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

inline constexpr const char kReduce[] =
    "__reduce__($self, /)\n--\n\n"
    "Pickle by segment name: unpickling calls SharedMemory.open(name).spsc().\n\n"
    "The receiving process (a spawn or forkserver child, for instance) maps the\n"
    "ring afresh in the opener's role: the header is used as it is found, never\n"
    "reset. Pending messages stay where they are.";

inline constexpr const char kOthersPresent[] =
    "others_present($self)\n--\n\n"
    "Return True if another live process has this ring's segment open or mapped.\n\n"
    "Presence is kept by the kernel (a lock on the segment's file, see the layouts\n"
    "page): a process that ends, however it ends, is no longer present. Programs\n"
    "that follow the byte layout without this module hold no presence. Returns None\n"
    "when this process cannot tell (it could not open the segment's file again).";

inline constexpr const char kHasProducer[] =
    "has_producer($self)\n--\n\n"
    "Return True if a live process (this one included) holds the producer role.\n\n"
    "A process takes the role with its first producing call on the ring (push,\n"
    "put, push_many, reserve) and holds it until its last ring object on the\n"
    "segment that took it is closed or collected, or until it ends. None when\n"
    "this process cannot tell.";

inline constexpr const char kHasConsumer[] =
    "has_consumer($self)\n--\n\n"
    "Return True if a live process (this one included) holds the consumer role.\n\n"
    "A process takes the role with its first consuming call on the ring (pop,\n"
    "get, borrow, pop_many, select, ...) and holds it as has_producer() says.\n"
    "None when this process cannot tell.";

inline constexpr const char kClaimRole[] =
    "claim_role($self, role)\n--\n\n"
    "Take the 'producer' or 'consumer' role of this ring exclusively.\n\n"
    "Opt-in checking of the one-producer-one-consumer contract: while this\n"
    "process holds the role (until its ring objects that took it are closed, or\n"
    "it ends), a producing (consuming) call from another live process raises\n"
    "RuntimeError and changes nothing. Objects of this process share the role.\n\n"
    "Raises:\n"
    "    ValueError: `role` is not 'producer' or 'consumer'.\n"
    "    RuntimeError: another live process holds the role now, or this process\n"
    "        cannot hold presence on the segment.";

}  // namespace kelparine::ring_object::docs
