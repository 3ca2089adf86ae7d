// The transfer members: put and get (one item), put_many and get_many (as many as fit, or as
// are ready, at once), with the waits between them. Every call uses a member slot of its own.
//
// Waiting: spin, then park on the queue's own sequence word (data_seq for consumers, space_seq
// for producers) with the slot's waiter bit announced, with the interpreter lock given up
// (wait::wait_until). While the other side keeps pace no call makes a system call: the bit is
// set only before the first park, and a publisher makes its wake call only for announced bits.
// Slices are short where progress may hang on a process that is gone: a record in flight at
// head (its producer may have died), or the consumer lock (its holder may have died); after
// such a slice the call looks again with the lock, where gone producers' records are skipped
// and a gone holder's lock is taken over.
#include <cstdlib>
#include <ctime>
#include <span>
#include <utility>
#include <vector>

#include "../core/text.hpp"
#include "../core/wait/idle.hpp"
#include "../py/args.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/gc_pause.hpp"
#include "../py/gil_hooks.hpp"
#include "../py/thread_state.hpp"
#include "../py/object_entry.hpp"
#include "../py/timeout.hpp"
#include "queue_items.hpp"
#include "queue_object.hpp"

namespace kelparine::queue_object {
namespace {

using py::PyResult;
using py::Ref;
using queue_layout::record_size;

using queue_object::kStuckSliceNs;
// Otherwise parks grow to this: also how late a peer's end is noticed by a waiter.
constexpr wait::ParkSchedule kQueueParks{wait::kMillisecond, 50 * wait::kMillisecond, 20 * wait::kMillisecond};
// A single attempt still waits this long for a consumer lock held by another consumer's copy.
constexpr std::int64_t kNowaitLockNs = wait::kMillisecond;

// Test hook: KELPARINE_QUEUE_TEST_STALL_MS=<ms> makes each put sleep that long after its claim
// and again after its header, and each get with the consumer lock held and its copy made, so a
// test can kill a producer inside its claim-to-commit window or a consumer holding the lock.
// Read once, when the module is loaded; off, it costs one test of a constant per claim.
const std::int64_t g_stall_ns = [] {
    const char* text = std::getenv("KELPARINE_QUEUE_TEST_STALL_MS");
    return text == nullptr ? std::int64_t{0} : std::int64_t{std::atoi(text)} * wait::kMillisecond;
}();

void stall() noexcept {
    timespec pause{static_cast<time_t>(g_stall_ns / wait::kSecond), static_cast<long>(g_stall_ns % wait::kSecond)};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

// queue.Full and queue.Empty, looked up once.
PyResult<PyObject*> queue_exception(const char* name) {
    static PyObject* full = nullptr;
    static PyObject* empty = nullptr;
    if (full == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("queue"));
        if (!module) return py::python_error();
        Ref f = Ref::steal(PyObject_GetAttrString(module.get(), "Full"));
        Ref e = f ? Ref::steal(PyObject_GetAttrString(module.get(), "Empty")) : Ref();
        if (!e) return py::python_error();
        empty = e.release();
        full = f.release();
    }
    return name[0] == 'F' ? full : empty;
}

py::Failure raise_bare(const char* name) {
    auto type = queue_exception(name);
    if (type) PyErr_SetNone(*type);
    return py::Failure(py::PythonError{});
}

// Whether the peer role a wait needs has ended: held by no live process, after it was seen.
// Seen by this object, or by the queue itself: a claim ever made (tail moved) shows producers
// were here, an item ever taken (head moved) shows consumers were, so a process that arrives
// after the other side has come and gone does not wait for ever.
class PeerWatch {
public:
    PeerWatch(QueueState& s, Role peer) noexcept : s_(s), peer_(peer) {}
    bool gone() const noexcept { return gone_; }
    void look() noexcept {
        const std::optional<bool> held = s_.presence.role_held(as_presence_role(peer_));
        if (!held) return;  // presence unknown: a wait never ends for it
        std::atomic<bool>& seen = s_.role_seen[static_cast<int>(peer_)];
        if (*held) {
            seen.store(true, std::memory_order_relaxed);
        } else if (seen.load(std::memory_order_relaxed) || peer_was_here()) {
            gone_ = true;
        }
    }

private:
    bool peer_was_here() const noexcept {
        if (s_.end_reported[static_cast<int>(peer_)].load(std::memory_order_relaxed)) return false;
        const MpmcQueue q = s_.queue();
        return peer_ == Role::Producer ? q.tail() != 0 : q.head() != 0;
    }

    QueueState& s_;
    Role peer_;
    bool gone_ = false;
};

// Waits until `ready(idle)` says so (true), the deadline passes (false), or fails: closed,
// interrupted, or the peer gone while `idle` (nothing in flight that it could still deliver):
// EOFError for a consumer, BrokenPipeError for a producer.
template <class Ready>
PyResult<bool> wait_side(QueueState& s, Role role, std::uint16_t slot, const wait::Deadline& deadline, Ready&& ready) {
    MpmcQueue q = s.queue();
    const QueueSide side = role == Role::Consumer ? QueueSide::Consumers : QueueSide::Producers;
    const std::uint32_t* word = role == Role::Consumer ? q.data_seq_address() : q.space_seq_address();
    py::GilHooks hooks;
    PeerWatch peer(s, peer_of(role));
    bool announced = false;
    bool retry = false;  // a short slice ran out with something in flight: look with the lock
    bool ended = false;
    auto check = [&](bool& moved) {
        moved = false;
        if (s.gate.closed()) return wait::Check::Cancelled;
        bool idle = false;
        if (retry || ready(idle)) return wait::Check::Ready;
        return ended ? wait::Check::Cancelled : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) {
        if (!announced) {
            q.announce_wait(side, slot);
            announced = true;
        }
        // The sequence, then one more check: a publish after the check bumps the sequence
        // (it sees the bit), one before it is seen by the check.
        const std::uint32_t seq = q.wait_sequence(side);
        bool idle = false;
        if (ready(idle)) return wait::FutexResult::Changed;
        peer.look();
        if (peer.gone() && idle) {
            ended = true;
            return wait::FutexResult::Changed;
        }
        const bool stuck = !idle;
        const wait::FutexResult parked = wait::futex_wait(word, seq, stuck && ns > kStuckSliceNs ? kStuckSliceNs : ns);
        if (stuck && parked == wait::FutexResult::TimedOut) retry = true;
        return parked;
    };
    const wait::WaitResult waited = wait::wait_until(check, park, hooks, deadline, kQueueParks);
    if (announced) q.retire_wait(side, slot);
    switch (waited.outcome) {
        case wait::Outcome::Ready: return true;
        case wait::Outcome::TimedOut: return false;
        case wait::Outcome::Interrupted: return py::python_error();
        case wait::Outcome::Cancelled: break;
    }
    if (s.gate.closed()) return std::unexpected(py::closed_error(kClassName).error());
    return std::unexpected(peer_gone_error(s, role));
}

// lock_consumers() once its first attempt failed: waits for the lock. A holder whose slot is
// found gone (its process died with the lock) is replaced.
[[gnu::noinline]] PyResult<bool> lock_consumers_slow(QueueState& s, std::uint16_t slot, const wait::Deadline& deadline) {
    MpmcQueue q = s.queue();
    const wait::Deadline bound = deadline.is_immediate() ? wait::Deadline::after_ns(kNowaitLockNs) : deadline;
    py::GilHooks hooks;
    SlotLiveness& liveness = s.slots.liveness();
    bool taken = false;
    auto check = [&](bool& moved) {
        moved = false;
        if (s.gate.closed()) return wait::Check::Cancelled;
        return taken || q.try_lock(slot) ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) {
        const std::uint32_t word = q.lock_word();
        if (word == 0) return wait::FutexResult::Changed;
        if (!liveness.alive(MpmcQueue::lock_holder(word))) {
            taken = q.steal_lock(word, slot);
            return wait::FutexResult::Changed;
        }
        if (!q.mark_lock_waited(word)) return wait::FutexResult::Changed;
        return wait::futex_wait(q.lock_word_address(), word | queue_layout::kLockWaiters,
                                ns > kStuckSliceNs ? kStuckSliceNs : ns);
    };
    const wait::WaitResult waited = wait::wait_until(check, park, hooks, bound, kQueueParks);
    switch (waited.outcome) {
        case wait::Outcome::Ready: return true;
        case wait::Outcome::TimedOut: return false;
        case wait::Outcome::Interrupted: return py::python_error();
        case wait::Outcome::Cancelled: break;
    }
    return std::unexpected(py::closed_error(kClassName).error());
}

// Takes the consumer lock for `slot`: true, or false when the deadline passed.
[[gnu::always_inline]] inline PyResult<bool> lock_consumers(QueueState& s, std::uint16_t slot,
                                                           const wait::Deadline& deadline) {
    if (s.queue().try_lock(slot)) [[likely]]
        return true;
    return lock_consumers_slow(s, slot, deadline);
}

// A copied-out item, not yet decoded.
struct Taken {
    std::uint8_t kind;
    Ref payload;
};

// With the consumer lock held and the collector paused: copies `record` out. Null on a failed
// allocation (the record stays in the queue).
[[gnu::always_inline]] inline PyResult<Ref> copy_out(QueueState& s, const MpmcQueue::Record& record) {
    std::byte* data = nullptr;
    auto payload = new_payload_object(record.kind, record.length, data);
    if (!payload) return payload;
    const MpmcQueue q = s.queue();
    if (record.length >= py::kLockFreeCopyBytes) {
        const py::SavedThread saved = py::save_thread();
        q.read_payload(record, 0, data, record.length);
        py::restore_thread(saved);
    } else {
        q.read_payload(record, 0, data, record.length);
    }
    return payload;
}

// Takes up to `max_items` (at least 1) ready items, waiting for the first one until the deadline
// (queue.Empty after it), and hands each to `keep(Taken&&)` in order: a get keeps its one item
// in a local, with no container to build, move and free.
template <class Keep>
PyResult<void> take(QueueState& s, std::size_t max_items, const wait::Deadline& deadline, Keep&& keep) {
    if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
    auto slot = acquire_slot(s);
    if (!slot) return std::unexpected(std::move(slot.error()));
    const SlotLease lease(s, *slot);
    std::size_t taken = 0;
    for (;;) {
        auto locked = lock_consumers(s, *slot, deadline);
        if (!locked) return std::unexpected(std::move(locked.error()));
        if (!*locked) return std::unexpected(raise_bare("Empty"));
        MpmcQueue q = s.queue();
        {
            const py::GcPause pause;  // no finalizer runs while this process holds the lock
            auto next = q.next(s.slots.liveness());
            if (!next) {
                q.unlock();
                return py::fail(std::move(next.error()));
            }
            if (next->kind == MpmcQueue::NextKind::Ready) {
                MpmcQueue::Record record = next->record;
                const std::uint64_t tail = q.tail();
                std::uint64_t end = record.pos;
                for (;;) {
                    auto payload = copy_out(s, record);
                    if (!payload) break;  // the rest stays; reported if nothing was taken
                    keep(Taken{record.kind, std::move(*payload)});
                    ++taken;
                    end = record.end();
                    if (taken >= max_items || !q.next_after(record, tail, record)) break;
                }
                if (g_stall_ns != 0) [[unlikely]] {
                    // Test hook: a consumer killed here holds the lock with its copy made.
                    const py::SavedThread saved = py::save_thread();
                    stall();
                    py::restore_thread(saved);
                }
                if (taken == 0) {
                    q.unlock();
                    return py::python_error();  // the allocation's MemoryError
                }
                q.release(end, taken);
                q.unlock();
                return {};
            }
            q.unlock();
        }
        auto waited = wait_side(s, Role::Consumer, *slot, deadline, [&](bool& idle) {
            idle = q.head() == q.tail();
            return q.looks_ready();
        });
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited) return std::unexpected(raise_bare("Empty"));
        if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
    }
}

// Whether the item bound leaves room for more (approximately: the count of committed items).
std::uint64_t items_allowed(const QueueState& s, const MpmcQueue& q, std::uint64_t wanted) noexcept {
    if (s.maxsize == 0) return wanted;
    const std::uint64_t items = q.approx_items();
    const std::uint64_t room = s.maxsize > items ? s.maxsize - items : 0;
    return room < wanted ? room : wanted;
}

// Writes claimed records for `items` from `start`, commits them and finishes the claim.
void write_claimed(MpmcQueue& q, std::uint16_t slot, std::span<const EncodedItem> items, std::uint64_t start) noexcept {
    std::uint64_t pos = start;
    for (const EncodedItem& item : items) {
        if (g_stall_ns != 0) [[unlikely]]
            stall();
        const auto length = static_cast<std::uint32_t>(item.length());
        q.begin_record(pos, length, slot, item.kind());
        if (g_stall_ns != 0) [[unlikely]]
            stall();
        item.write(q, pos);
        q.commit_record(pos, length, slot, item.kind());
        pos += record_size(length);
    }
    q.finish_claim(slot);
}

// Puts `items` in order, as many per claim as fit; returns how many went in before the
// deadline passed.
PyResult<std::size_t> put_items(QueueState& s, std::span<const EncodedItem> items, const wait::Deadline& deadline) {
    if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    auto slot = acquire_slot(s);
    if (!slot) return std::unexpected(std::move(slot.error()));
    const SlotLease lease(s, *slot);
    MpmcQueue q = s.queue();
    const std::uint64_t capacity = q.capacity();
    std::size_t done = 0;
    while (done < items.size()) {
        const std::uint64_t allowed = items_allowed(s, q, items.size() - done);
        const std::uint64_t used = q.used();
        const std::uint64_t free = used < capacity ? capacity - used : 0;
        std::uint64_t span = 0;
        std::size_t count = 0;
        while (count < allowed && span + record_size(items[done + count].length()) <= free)
            span += record_size(items[done + count++].length());
        std::uint64_t start = 0;
        if (count > 0 && q.try_claim(*slot, span, start)) {
            const std::span<const EncodedItem> batch = items.subspan(done, count);
            if (span >= py::kLockFreeCopyBytes || g_stall_ns != 0) [[unlikely]] {
                // Nothing here touches a Python object: the items' buffers are pinned.
                const py::SavedThread saved = py::save_thread();
                write_claimed(q, *slot, batch, start);
                py::restore_thread(saved);
            } else {
                write_claimed(q, *slot, batch, start);
            }
            done += count;
            continue;
        }
        const std::uint64_t need = record_size(items[done].length());
        auto waited = wait_side(s, Role::Producer, *slot, deadline, [&](bool& idle) {
            idle = true;
            return q.looks_free(need) && items_allowed(s, q, 1) != 0;
        });
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited) return done;
        if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    }
    return done;
}

// `block` and `timeout` as multiprocessing.Queue takes them: block=False is a single attempt
// whatever the timeout.
PyResult<wait::Deadline> blocking_deadline(PyObject* block, PyObject* timeout) {
    auto parsed = py::to_timeout(timeout);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    if (block != nullptr) {
        const int truth = PyObject_IsTrue(block);
        if (truth < 0) return py::python_error();
        if (truth == 0) return wait::Deadline::after_ns(0);
    }
    return parsed->deadline;
}

PyResult<Ref> put_one(PyObject* self, PyObject* item, const wait::Deadline& deadline) {
    QueueState& s = state(self);
    EncodedItem encoded;
    if (auto done = encoded.encode(item); !done) return std::unexpected(std::move(done.error()));
    if (auto fits = check_fits(s, encoded); !fits) return std::unexpected(std::move(fits.error()));
    auto put = put_items(s, std::span<const EncodedItem>(&encoded, 1), deadline);
    if (!put) return std::unexpected(std::move(put.error()));
    if (*put == 0) return std::unexpected(raise_bare("Full"));
    return Ref::none();
}

PyResult<Ref> get_one(PyObject* self, const wait::Deadline& deadline) {
    Taken one{};
    auto taken = take(state(self), 1, deadline, [&one](Taken&& item) { one = std::move(item); });
    if (!taken) return std::unexpected(std::move(taken.error()));
    return decode(one.kind, std::move(one.payload));
}

constexpr py::Signature<3> kPut{"put", {"obj", "block", "timeout"}, 1};
constexpr py::Signature<1> kPutNowait{"put_nowait", {"obj"}, 1};
constexpr py::Signature<2> kGet{"get", {"block", "timeout"}, 0};
constexpr py::Signature<2> kPutMany{"put_many", {"items", "timeout"}, 1};
constexpr py::Signature<2> kGetMany{"get_many", {"max_items", "timeout"}, 1};

}  // namespace

bool peer_gone(QueueState& s, Role role) noexcept {
    PeerWatch peer(s, peer_of(role));
    peer.look();
    return peer.gone();
}

py::Failure peer_gone_error(QueueState& s, Role role) {
    // Reported once: the next wait waits for a peer to come, as one started before any does.
    s.role_seen[static_cast<int>(peer_of(role))].store(false, std::memory_order_relaxed);
    s.end_reported[static_cast<int>(peer_of(role))].store(true, std::memory_order_relaxed);
    if (role == Role::Consumer) {
        PyErr_SetString(PyExc_EOFError,
                        "the queue's producers are gone: no live process holds its producer role, and every "
                        "item they committed has been taken");
    } else {
        PyErr_SetString(PyExc_BrokenPipeError,
                        "the queue's consumers are gone: no live process holds its consumer role, so the item "
                        "could never be taken");
    }
    return py::Failure(py::PythonError{});
}

// An item no record can carry: refused before anything is enqueued.
PyResult<void> check_fits(const QueueState& s, const EncodedItem& item) {
    if (s.gate.closed()) return py::closed_error(kClassName);
    const std::uint64_t max_payload = s.queue().max_payload();
    if (item.length() <= max_payload) return {};
    return py::fail(ShmError::invalid_argument(
        concat("item too large for the queue: its record payload is ", item.length(), " bytes and the queue (capacity ",
               s.queue().capacity(), " bytes) holds at most ", max_payload)));
}

PyResult<std::size_t> put_now(QueueState& s, std::span<const EncodedItem> items) {
    return put_items(s, items, wait::Deadline::after_ns(0));
}

Selected::Selected(Selected&& other) noexcept
    : s_(other.s_),
      slot_(other.slot_),
      leased_(std::exchange(other.leased_, false)),
      announced_(std::exchange(other.announced_, false)),
      ended_(other.ended_) {}

Selected::~Selected() {
    if (announced_) s_->queue().retire_wait(QueueSide::Consumers, slot_);
    if (leased_) s_->slots.release(slot_);
}

PyResult<void> Selected::begin() noexcept {
    if (auto entered = enter(*s_, Role::Consumer); !entered) return entered;
    auto slot = acquire_slot(*s_);
    if (!slot) return std::unexpected(std::move(slot.error()));
    slot_ = *slot;
    leased_ = true;
    return {};
}

bool Selected::ready() const noexcept { return ended_ || retry_ || s_->queue().looks_ready(); }

bool Selected::in_flight() const noexcept {
    const MpmcQueue q = s_->queue();
    return q.head() != q.tail();
}

std::uint32_t Selected::arm() noexcept {
    const MpmcQueue q = s_->queue();
    if (!announced_) {
        s_->queue().announce_wait(QueueSide::Consumers, slot_);
        announced_ = true;
    }
    return q.wait_sequence(QueueSide::Consumers);
}

const std::uint32_t* Selected::word() const noexcept { return s_->queue().data_seq_address(); }

bool Selected::look() noexcept {
    const MpmcQueue q = s_->queue();
    if (q.head() != q.tail()) return false;
    PeerWatch peer(*s_, Role::Producer);
    peer.look();
    ended_ = peer.gone();
    return ended_;
}

PyResult<Ref> put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The common put(obj): blocks without a bound; nothing more to bind or convert.
    if (nargs == 1 && kwnames == nullptr) [[likely]]
        return put_one(self, args[0], wait::Deadline::never());
    std::array<PyObject*, 3> bound;
    if (!py::bind(kPut, args, nargs, kwnames, bound)) return py::python_error();
    auto deadline = blocking_deadline(bound[1], bound[2]);
    if (!deadline) return std::unexpected(std::move(deadline.error()));
    return put_one(self, bound[0], *deadline);
}

PyResult<Ref> put_nowait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPutNowait, args, nargs, kwnames, bound)) return py::python_error();
    return put_one(self, bound[0], wait::Deadline::after_ns(0));
}

PyResult<Ref> get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The common get(): blocks without a bound; nothing to bind or convert.
    if (nargs == 0 && kwnames == nullptr) [[likely]]
        return get_one(self, wait::Deadline::never());
    std::array<PyObject*, 2> bound;
    if (!py::bind(kGet, args, nargs, kwnames, bound)) return py::python_error();
    auto deadline = blocking_deadline(bound[0], bound[1]);
    if (!deadline) return std::unexpected(std::move(deadline.error()));
    return get_one(self, *deadline);
}

PyResult<Ref> get_nowait(PyObject* self) { return get_one(self, wait::Deadline::after_ns(0)); }

PyResult<Ref> put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kPutMany, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    Ref sequence = Ref::steal(PySequence_Fast(bound[0], "'items' must be an iterable"));
    if (!sequence) return py::python_error();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    QueueState& s = state(self);
    // Every item is encoded and checked before the first goes in.
    std::vector<EncodedItem> encoded(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        EncodedItem& item = encoded[static_cast<std::size_t>(i)];
        if (auto done = item.encode(PySequence_Fast_GET_ITEM(sequence.get(), i)); !done)
            return std::unexpected(std::move(done.error()));
        if (auto fits = check_fits(s, item); !fits) return std::unexpected(std::move(fits.error()));
    }
    if (count == 0) {
        if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
        return py::from_u64(0);
    }
    auto put = put_items(s, encoded, timeout->deadline);
    if (!put) return std::unexpected(std::move(put.error()));
    return py::from_u64(*put);
}

PyResult<Ref> get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kGetMany, args, nargs, kwnames, bound)) return py::python_error();
    auto max_items = py::to_u64(bound[0], "max_items");
    if (!max_items) return std::unexpected(std::move(max_items.error()));
    if (*max_items == 0) return py::fail(ShmError::invalid_argument("max_items must be at least 1"));
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    std::vector<Taken> taken;
    auto done = take(state(self), *max_items, timeout->deadline,
                     [&taken](Taken&& item) { taken.push_back(std::move(item)); });
    if (!done) return std::unexpected(std::move(done.error()));
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(taken.size())));
    if (!list) return py::python_error();
    // The items are out of the queue: the first that cannot be decoded is raised, and the ones
    // after it are lost with it (as a get's item is when it cannot be decoded).
    for (std::size_t i = 0; i < taken.size(); ++i) {
        auto item = decode(taken[i].kind, std::move(taken[i].payload));
        if (!item) return std::unexpected(std::move(item.error()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item->release());
    }
    return list;
}

}  // namespace kelparine::queue_object
