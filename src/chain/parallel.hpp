// Splitting an array computation over a few threads.
//
// Work is handed out in fixed-size blocks from a shared counter, so a thread
// that is slowed down (the machine is shared, some inputs converge slower)
// simply takes fewer blocks. Each call starts its threads and joins them
// before returning: nothing outlives the call, and the memory used beyond
// the caller's arrays is a few words per thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace korvex::chain {

// Elements per block handed to a thread, for kernels of some tens of
// nanoseconds per element: large enough that handing out a block costs
// nothing next to computing it (a block is some hundreds of microseconds of
// work), small enough to balance threads.
constexpr std::size_t kBlock = 8192;

// The number of threads a call with `n` elements in blocks of `block` uses.
inline int worker_count(std::size_t n, std::size_t block, int threads) {
    const std::size_t blocks = (n + block - 1) / block;
    return static_cast<int>(std::max<std::size_t>(1, std::min<std::size_t>(blocks, threads < 1 ? 1 : threads)));
}

// Calls fn(begin, end, worker) over [0, n) in blocks of `block` elements,
// on worker_count(n, block, threads) threads, the calling thread being
// worker 0. An exception thrown by fn stops the handing out of blocks and
// is rethrown here once every thread has finished.
template <class Fn>
void parallel_blocks(std::size_t n, std::size_t block, int threads, Fn&& fn) {
    if (n == 0) return;
    const int workers = worker_count(n, block, threads);
    if (workers == 1) {
        fn(std::size_t{0}, n, 0);
        return;
    }
    const std::size_t blocks = (n + block - 1) / block;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto run = [&](int worker) {
        try {
            while (!failed.load(std::memory_order_relaxed)) {
                const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
                if (b >= blocks) break;
                const std::size_t begin = b * block;
                fn(begin, std::min(n, begin + block), worker);
            }
        } catch (...) {
            failed.store(true, std::memory_order_relaxed);
            std::lock_guard lock(error_mutex);
            if (!error) error = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> pool;
        pool.reserve(static_cast<std::size_t>(workers - 1));
        for (int w = 1; w < workers; ++w) {
            // Out of threads: the ones running share the blocks between them.
            try {
                pool.emplace_back(run, w);
            } catch (const std::system_error&) {
                break;
            }
        }
        run(0);
    }  // joins
    if (error) std::rethrow_exception(error);
}

}  // namespace korvex::chain
