// Reference texts of the MappedView members added beside the original ones: the lock timeout
// and the handle members. Each starts with the text signature (up to "--").
#pragma once

namespace kelparine::view_object::docs {

inline constexpr const char kSetLockTimeout[] =
    "set_lock_timeout($self, seconds, *, recover_stale=False)\n--\n\n"
    "Bound every later wait of this view for the segment's lock word.\n\n"
    "`seconds` None (the default of a new view) waits for as long as it\n"
    "takes; a number of seconds bounds each wait (0: a single attempt). When\n"
    "a wait runs out the call raises TimeoutError, writes nothing and leaves\n"
    "the cursor alone. The message shows the word seen and whether other\n"
    "processes are present on the segment: a hold that never ends is usually\n"
    "one left by a process that died holding it.\n\n"
    "With recover_stale=True a wait that finds the word held clears the hold\n"
    "itself, and goes on, once it knows the hold is stale: no other process\n"
    "is present on the segment (see others_present()), none maps it as far\n"
    "as /proc shows (a program that follows the layout without this module),\n"
    "and no other thread of this process is in a call on a view of it. It\n"
    "decides at its checks for signals, about every 0.1 s, the first after\n"
    "20 ms of waiting. It clears only the value it saw, in one atomic step.\n"
    "Two threads of this process waiting on the same stale hold each see the\n"
    "other, and neither clears it. Each call sets both settings; they belong\n"
    "to this view object only.\n\n"
    "Args:\n"
    "    seconds: the bound on each wait in seconds, or None for no bound.\n"
    "    recover_stale: clear holds found stale while waiting (keyword only).\n\n"
    "Raises:\n"
    "    ValueError: a negative or NaN `seconds`.\n"
    "    TypeError: `seconds` is neither a number nor None.\n\n"
    "Example:\n\n"
    "    >>> view.set_lock_timeout(0.5)\n"
    "    >>> view.lock_timeout()\n"
    "    0.5\n"
    "    >>> view.set_lock_timeout(5, recover_stale=True)";

inline constexpr const char kLockTimeout[] =
    "lock_timeout($self)\n--\n\n"
    "Return the bound on lock waits in seconds, or None when there is none.\n\n"
    "See set_lock_timeout().";

inline constexpr const char kClose[] =
    "close($self)\n--\n\n"
    "Unmap the view now instead of when the object is collected.\n\n"
    "Closing twice is harmless; any other call on a closed view raises\n"
    "ValueError \"MappedView is closed\". The segment and its name stay:\n"
    "remove() is separate. Calls other threads are making on this view end\n"
    "first (one waiting for the lock word ends with that ValueError).";

inline constexpr const char kClosed[] =
    "closed($self)\n--\n\n"
    "Return True once close() has been called on this object, else False.";

inline constexpr const char kEnter[] =
    "__enter__($self)\n--\n\n"
    "Return the view itself: `with shm.map() as view:` closes it at the end.";

inline constexpr const char kExit[] =
    "__exit__($self, *args)\n--\n\n"
    "Close the view (never removes the segment); exceptions propagate.";

inline constexpr const char kReduce[] =
    "__reduce__($self, /)\n--\n\n"
    "Pickle by segment name: unpickling calls SharedMemory.open(name).map().\n\n"
    "The receiving process (a spawn or forkserver child, for instance) maps the\n"
    "segment afresh in the opener's role: the lock word is never reset. The new\n"
    "view's cursor starts at 0 and it has no lock timeout.";

inline constexpr const char kOthersPresent[] =
    "others_present($self)\n--\n\n"
    "Return True if another live process has this view's segment open or mapped.\n\n"
    "Presence is kept by the kernel (a lock on the segment's file, see the layouts\n"
    "page): a process that ends, however it ends, is no longer present. Programs\n"
    "that follow the byte layout without this module hold no presence. Returns None\n"
    "when this process cannot tell.";

}  // namespace kelparine::view_object::docs
