// Docstrings of the Queue class (the guide and reference pages say the same at more length).
#pragma once

namespace kelparine::queue_object::docs {

inline constexpr const char kClass[] =
    "Queue(maxsize=0, *, capacity=1048576)\n--\n\n"
    "A many-producer, many-consumer queue of Python objects in shared memory.\n\n"
    "A drop-in for multiprocessing.Queue: put(), get(), put_nowait(),\n"
    "get_nowait(), qsize(), empty(), full(), close(), join_thread() and\n"
    "cancel_join_thread() keep its contracts, and timeouts raise queue.Full\n"
    "and queue.Empty. There is no feeder thread: put() has written the item\n"
    "into shared memory when it returns.\n\n"
    "Queue() is anonymous (a memfd: nothing is left in /dev/shm) and reaches\n"
    "child processes through fork, spawn and forkserver as multiprocessing's\n"
    "own queues do. Queue.create(name, capacity) and Queue.open(name) (or\n"
    "SharedMemory.queue()) make named ones, which any process may open.\n\n"
    "`capacity` is the data area in bytes, rounded up to a power of two of\n"
    "at least 64; each item takes 16 bytes plus its payload rounded up to 16.\n"
    "`maxsize` > 0 bounds the number of items, approximately (from the\n"
    "queue's count of committed items, which concurrent puts may overshoot).\n\n"
    "bytes, bytearray, memoryview and other buffer objects travel as raw\n"
    "bytes and come back as bytes; anything else is pickled (protocol 5),\n"
    "with out-of-band buffers such as NumPy arrays' data copied once.\n\n"
    "A get() on an empty queue whose producers were seen (or had put items)\n"
    "and are all gone raises EOFError; a put() on a full queue whose consumers\n"
    "were seen (or had taken items) and are all gone raises BrokenPipeError. A producer killed while writing\n"
    "loses only the item it was writing; a consumer killed while taking an\n"
    "item leaves it to the next consumer.";

inline constexpr const char kPut[] =
    "put($self, obj, block=True, timeout=None)\n--\n\n"
    "Put `obj` into the queue, waiting for room as long as `timeout` allows.\n\n"
    "block=False (or timeout=0) makes a single attempt. Raises queue.Full\n"
    "when there is no room in time, ValueError for an item larger than the\n"
    "queue can ever hold and after close(), BrokenPipeError when the\n"
    "consumers are gone, and whatever pickling raises (nothing is put).";

inline constexpr const char kGet[] =
    "get($self, block=True, timeout=None)\n--\n\n"
    "Remove and return the oldest item, waiting as long as `timeout` allows.\n\n"
    "block=False (or timeout=0) makes a single attempt. Raises queue.Empty\n"
    "when no item came in time, EOFError when the queue is empty and its\n"
    "producers are gone (once), ValueError after close().";

inline constexpr const char kPutNowait[] = "put_nowait($self, obj)\n--\n\nput(obj, False).";
inline constexpr const char kGetNowait[] = "get_nowait($self)\n--\n\nget(False).";

inline constexpr const char kPutMany[] =
    "put_many($self, items, timeout=None)\n--\n\n"
    "Put the items of `items` in order; return how many went in.\n\n"
    "As many as fit go in with one claim, then it waits for room for the\n"
    "rest. Every item is pickled and checked first: an error there puts\n"
    "nothing. The result is len(items) unless the timeout passed first: the\n"
    "items before the result's index are in the queue, the others are not.";

inline constexpr const char kGetMany[] =
    "get_many($self, max_items, timeout=None)\n--\n\n"
    "Wait for at least one item, then take up to `max_items` that are ready.\n\n"
    "Returns a list of 1 to max_items items, oldest first, taken together\n"
    "(no other consumer's item falls between them). Raises as get() does.";

#define KELPARINE_QUEUE_AWAIT_NOTE                                            \
    "Awaiting it never blocks the event loop: an item (or room) already\n"     \
    "there is taken at once; otherwise the process's waiter thread parks on\n" \
    "the queue's word and wakes the loop. Cancelled or timed out, the await\n" \
    "has taken or put nothing. Works on asyncio, uvloop and trio.\n"

inline constexpr const char kAget[] =
    "aget($self, timeout=None)\n--\n\n"
    "Awaitable get(): remove and return the oldest item, waiting for one.\n\n"
    "Same result and errors as get(timeout=timeout): queue.Empty when no\n"
    "item came in time, EOFError when the queue is empty and its producers\n"
    "are gone, ValueError after close(). `async for item in queue` awaits\n"
    "items this way until EOFError.\n\n" KELPARINE_QUEUE_AWAIT_NOTE;
inline constexpr const char kAput[] =
    "aput($self, obj, timeout=None)\n--\n\n"
    "Awaitable put(): put `obj` into the queue, waiting for room.\n\n"
    "Same errors as put(obj, timeout=timeout): queue.Full when there is no\n"
    "room in time, BrokenPipeError when the consumers are gone. `obj` is\n"
    "pickled at the call: pickling errors are raised there, nothing put.\n\n" KELPARINE_QUEUE_AWAIT_NOTE;
inline constexpr const char kAgetMany[] =
    "aget_many($self, max_items, timeout=None)\n--\n\n"
    "Awaitable get_many(): wait for at least one item, then take up to\n"
    "`max_items` that are ready. Same result and errors as get_many().\n\n" KELPARINE_QUEUE_AWAIT_NOTE;
inline constexpr const char kAputMany[] =
    "aput_many($self, items, timeout=None)\n--\n\n"
    "Awaitable put_many(): put the items in order, waiting for room; return\n"
    "how many went in (fewer only when the timeout passed first). Every\n"
    "item is pickled and checked at the call: an error there puts nothing.\n\n" KELPARINE_QUEUE_AWAIT_NOTE;

#undef KELPARINE_QUEUE_AWAIT_NOTE

inline constexpr const char kQsize[] =
    "qsize($self)\n--\n\n"
    "Return the approximate number of items in the queue.\n\n"
    "Items being written are not counted; under concurrent use the count\n"
    "may be stale as soon as it is returned.";
inline constexpr const char kEmpty[] =
    "empty($self)\n--\n\nReturn True if no item is ready to be taken (approximate).";
inline constexpr const char kFull[] =
    "full($self)\n--\n\n"
    "Return True if maxsize items are in the queue, or not even a 1-byte\n"
    "item fits (approximate).";
inline constexpr const char kCapacity[] =
    "capacity($self)\n--\n\nReturn the size of the queue's data area in bytes.";
inline constexpr const char kOthersPresent[] =
    "others_present($self)\n--\n\n"
    "Return True if another process has the queue's segment open or mapped.\n\n"
    "None when this process cannot tell.";
inline constexpr const char kClose[] =
    "close($self)\n--\n\n"
    "Close this queue object in this process; closing again does nothing.\n\n"
    "Other processes' objects are not affected, nor are the items in the\n"
    "queue. Afterwards put(), get() and the other members that use the\n"
    "queue raise ValueError \"Queue is closed\"; qsize(), empty(), full()\n"
    "and capacity() still answer, as multiprocessing.Queue's do.";
inline constexpr const char kJoinThread[] =
    "join_thread($self)\n--\n\n"
    "As multiprocessing.Queue.join_thread(): only after close()\n"
    "(AssertionError before). There is no feeder thread to wait for.";
inline constexpr const char kCancelJoinThread[] =
    "cancel_join_thread($self)\n--\n\nDoes nothing: there is no feeder thread.";
inline constexpr const char kEnter[] = "__enter__($self)\n--\n\nReturn the queue.";
inline constexpr const char kExit[] = "__exit__($self, *exc_info)\n--\n\nClose the queue; return False.";
inline constexpr const char kReduce[] =
    "__reduce__($self)\n--\n\n"
    "A named queue pickles by name. An anonymous one pickles only while a\n"
    "process is being spawned (its descriptor is passed along); elsewhere\n"
    "RuntimeError.";
inline constexpr const char kCreate[] =
    "create(name, capacity, mode=None, *, exclusive=False)\n--\n\n"
    "Create (or reuse) the segment `name` sized for `capacity` data bytes\n"
    "and write an empty queue into it; return the Queue.\n\n"
    "`capacity` is rounded up to a power of two of at least 64. `mode` and\n"
    "`exclusive` are as for SharedMemory.create(). The segment stays until\n"
    "SharedMemory.remove(name).";
inline constexpr const char kOpen[] =
    "open(name)\n--\n\n"
    "Open the queue in the existing segment `name`; its header is checked.";

}  // namespace kelparine::queue_object::docs
