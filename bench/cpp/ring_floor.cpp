// The floor for the two-process ring benchmark: kelparine's ring protocol in plain C++, with
// no interpreter around it. A producer and a consumer process share one POSIX shared memory
// segment with the ring's layout (u64 head, tail, capacity; a power-of-two data area of frames
// of a u32 little-endian length and the payload, wrapping anywhere), copy in at most two
// memcpy runs, and coordinate only through acquire loads and release stores of the counters.
//
//   ring_floor PAYLOAD_BYTES MESSAGES CAPACITY PRODUCER_CPU CONSUMER_CPU
//
// CAPACITY is the data area (a power of two); a CPU of -1 leaves that side unpinned. Both
// sides busy-poll on a full or empty ring. The consumer copies every payload into one reused
// buffer (the protocol's own copy-out, no allocation) and times from its first message to its
// last. Prints one JSON object: {"messages": N, "seconds": T} where T covers N - 1 messages.
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kHeader = 24;
constexpr std::uint64_t kLengthSize = 4;

class Ring {
public:
    explicit Ring(std::byte* base) : base_(base) {}

    void initialise(std::uint64_t capacity) {
        counter(0).store(0, std::memory_order_relaxed);
        counter(8).store(0, std::memory_order_relaxed);
        counter(16).store(capacity, std::memory_order_relaxed);
    }

    bool push(const std::byte* payload, std::uint32_t length) {
        const std::uint64_t capacity = counter(16).load(std::memory_order_relaxed);
        const std::uint64_t frame_len = std::uint64_t{length} + kLengthSize;
        const std::uint64_t head = counter(0).load(std::memory_order_acquire);
        const std::uint64_t tail = counter(8).load(std::memory_order_relaxed);
        if ((tail - head) + frame_len > capacity) return false;
        const std::uint64_t mask = capacity - 1;
        std::byte prefix[kLengthSize];
        for (unsigned i = 0; i < kLengthSize; ++i) prefix[i] = static_cast<std::byte>(length >> (8 * i));
        write_wrapped(mask, tail, prefix, kLengthSize);
        write_wrapped(mask, tail + kLengthSize, payload, length);
        counter(8).store(tail + frame_len, std::memory_order_release);
        return true;
    }

    // The payload length, copied into `out` (grown when needed); -1 when the ring is empty.
    std::int64_t pop(std::vector<std::byte>& out) {
        const std::uint64_t head = counter(0).load(std::memory_order_relaxed);
        const std::uint64_t tail = counter(8).load(std::memory_order_acquire);
        if (head == tail) return -1;
        const std::uint64_t mask = counter(16).load(std::memory_order_relaxed) - 1;
        std::byte prefix[kLengthSize];
        read_wrapped(mask, head, prefix, kLengthSize);
        std::uint32_t length = 0;
        for (unsigned i = 0; i < kLengthSize; ++i) length |= std::uint32_t(prefix[i]) << (8 * i);
        if (out.size() < length) out.resize(length);
        read_wrapped(mask, head + kLengthSize, out.data(), length);
        counter(0).store(head + kLengthSize + length, std::memory_order_release);
        return length;
    }

private:
    std::atomic_ref<std::uint64_t> counter(std::size_t offset) {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(base_ + offset));
    }
    std::byte* data() { return base_ + kHeader; }

    void write_wrapped(std::uint64_t mask, std::uint64_t pos, const std::byte* source, std::uint64_t size) {
        if (size == 0) return;
        const std::uint64_t start = pos & mask;
        const std::uint64_t first = std::min(size, mask + 1 - start);
        std::memcpy(data() + start, source, first);
        if (first < size) std::memcpy(data(), source + first, size - first);
    }
    void read_wrapped(std::uint64_t mask, std::uint64_t pos, std::byte* out, std::uint64_t size) {
        if (size == 0) return;
        const std::uint64_t start = pos & mask;
        const std::uint64_t first = std::min(size, mask + 1 - start);
        std::memcpy(out, data() + start, first);
        if (first < size) std::memcpy(out + first, data(), size - first);
    }

    std::byte* base_;
};

void pin(long cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(cpu), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s PAYLOAD_BYTES MESSAGES CAPACITY PRODUCER_CPU CONSUMER_CPU\n", argv[0]);
        return 2;
    }
    const std::uint32_t size = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const long messages = std::strtol(argv[2], nullptr, 10);
    const std::uint64_t capacity = std::strtoull(argv[3], nullptr, 10);
    const long producer_cpu = std::strtol(argv[4], nullptr, 10);
    const long consumer_cpu = std::strtol(argv[5], nullptr, 10);
    if (messages < 2 || capacity == 0 || (capacity & (capacity - 1)) != 0 || size + kLengthSize > capacity) {
        std::fprintf(stderr, "need MESSAGES >= 2 and a power-of-two CAPACITY that fits one frame\n");
        return 2;
    }

    // A named segment like kelparine's; the name is dropped at once, the fork shares the mapping.
    const std::string name = "/kelparine-bench-floor-" + std::to_string(getpid());
    const int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) die("shm_open");
    shm_unlink(name.c_str());
    const std::uint64_t total = kHeader + capacity;
    if (ftruncate(fd, static_cast<off_t>(total)) != 0) die("ftruncate");
    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) die("mmap");
    close(fd);
    Ring ring(static_cast<std::byte*>(base));
    ring.initialise(capacity);

    const pid_t producer = fork();
    if (producer < 0) die("fork");
    if (producer == 0) {
        pin(producer_cpu);
        std::vector<std::byte> payload(size);
        for (std::uint32_t i = 0; i < size; ++i) payload[i] = static_cast<std::byte>(i * 31 + 7);
        for (long i = 0; i < messages; ++i)
            while (!ring.push(payload.data(), size)) {
            }
        _exit(0);
    }

    pin(consumer_cpu);
    std::vector<std::byte> out(size);
    std::int64_t length;
    while ((length = ring.pop(out)) < 0) {
    }
    const auto first = std::chrono::steady_clock::now();
    bool ok = length == size;
    for (long i = 1; i < messages; ++i) {
        while ((length = ring.pop(out)) < 0) {
        }
        ok = ok && length == size;
    }
    const auto last = std::chrono::steady_clock::now();
    ok = ok && (size == 0 || out[size - 1] == static_cast<std::byte>((size - 1) * 31 + 7));

    int status = 0;
    waitpid(producer, &status, 0);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "ring_floor: wrong payload or failed producer\n");
        return 1;
    }
    std::printf("{\"messages\": %ld, \"seconds\": %.9f}\n", messages,
                std::chrono::duration<double>(last - first).count());
    return 0;
}
