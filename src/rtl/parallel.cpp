#include "rtl/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace duvo {

unsigned HardwareThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

void RunWorkers(unsigned threads, const std::function<void(unsigned)>& worker) {
    threads = std::max(threads, 1u);
    std::mutex lock;
    std::exception_ptr failure;
    auto run = [&](unsigned i) {
        try {
            worker(i);
        } catch (...) {
            std::lock_guard<std::mutex> g(lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<unsigned> orphans;
    {
        std::vector<std::jthread> pool;
        pool.reserve(threads - 1);
        for (unsigned i = 1; i < threads; ++i) {
            try {
                pool.emplace_back(run, i);
            } catch (...) {
                orphans.push_back(i);
            }
        }
        run(0);
        for (unsigned i : orphans) run(i);
    }  // the jthreads join here
    if (failure) std::rethrow_exception(failure);
}

void ParallelFor(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& body) {
    if (count == 0) return;
    if (threads == 0) threads = HardwareThreads();
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(threads, count));
    if (workers <= 1) {
        for (std::size_t i = 0; i < count; ++i) body(i);
        return;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    RunWorkers(workers, [&](unsigned) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) return;
            try {
                body(i);
            } catch (...) {
                stop.store(true);
                throw;
            }
        }
    });
}

}  // namespace duvo
