// Uncontended cost of one acquire + release of the segment lock word, beside the process-shared
// POSIX locks a C or C++ program would otherwise put in shared memory. Every lock lives in a
// MAP_SHARED page, as it does in a segment.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "core/rwlock.hpp"

namespace {

std::byte* shared_page() {
    static void* page = [] {
        void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        return p;
    }();
    return static_cast<std::byte*>(page);
}

kelparine::ShmRwLock segment_lock() {
    kelparine::ShmRwLock lock(shared_page());
    lock.init_unlocked();
    return lock;
}

void BM_ShmRwLock_Shared(benchmark::State& state) {
    const kelparine::ShmRwLock lock = segment_lock();
    for (auto _ : state) {
        auto hold = lock.acquire_read();
        benchmark::DoNotOptimize(hold);
    }
}
BENCHMARK(BM_ShmRwLock_Shared);

void BM_ShmRwLock_Exclusive(benchmark::State& state) {
    const kelparine::ShmRwLock lock = segment_lock();
    for (auto _ : state) {
        auto hold = lock.acquire_write();
        benchmark::DoNotOptimize(hold);
    }
}
BENCHMARK(BM_ShmRwLock_Exclusive);

pthread_rwlock_t* shared_rwlock() {
    auto* lock = reinterpret_cast<pthread_rwlock_t*>(shared_page() + 64);
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_rwlock_init(lock, &attr);
    pthread_rwlockattr_destroy(&attr);
    return lock;
}

void BM_PthreadRwlock_Shared(benchmark::State& state) {
    pthread_rwlock_t* lock = shared_rwlock();
    for (auto _ : state) {
        pthread_rwlock_rdlock(lock);
        pthread_rwlock_unlock(lock);
    }
    pthread_rwlock_destroy(lock);
}
BENCHMARK(BM_PthreadRwlock_Shared);

void BM_PthreadRwlock_Exclusive(benchmark::State& state) {
    pthread_rwlock_t* lock = shared_rwlock();
    for (auto _ : state) {
        pthread_rwlock_wrlock(lock);
        pthread_rwlock_unlock(lock);
    }
    pthread_rwlock_destroy(lock);
}
BENCHMARK(BM_PthreadRwlock_Exclusive);

void BM_PthreadMutex(benchmark::State& state) {
    auto* mutex = reinterpret_cast<pthread_mutex_t*>(shared_page() + 256);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        pthread_mutex_lock(mutex);
        pthread_mutex_unlock(mutex);
    }
    pthread_mutex_destroy(mutex);
}
BENCHMARK(BM_PthreadMutex);

// The price of the shared hold's two atomic read-modify-writes, without the lock's logic.
void BM_TwoLockedIncrements(benchmark::State& state) {
    std::atomic_ref<std::int32_t> word(*reinterpret_cast<std::int32_t*>(shared_page() + 512));
    for (auto _ : state) {
        word.fetch_add(1, std::memory_order_acquire);
        word.fetch_sub(1, std::memory_order_release);
    }
}
BENCHMARK(BM_TwoLockedIncrements);

}  // namespace

BENCHMARK_MAIN();
