// The one way work is spread over threads: std::jthread workers beside the
// calling thread, which always works too.
#pragma once

#include <cstddef>
#include <functional>

namespace duvo {

// Runs worker(i) for every i in [0, threads), worker(0) on the calling thread
// and the others on threads of their own, and returns when all have ended.
// The first exception of any of them is thrown again on the calling thread;
// the workers are expected to stop of themselves when one fails. A thread
// that cannot start leaves its index to the calling thread, after worker(0).
void RunWorkers(unsigned threads, const std::function<void(unsigned)>& worker);

// Runs body(i) once for every i in [0, count) on up to threads threads (0:
// every core), the calling thread being one of them; items are handed out in
// order. The first exception stops the hand-out of further items, is kept
// while the items already running end, and is thrown again.
void ParallelFor(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& body);

// The threads ParallelFor takes for 0: the processor's cores, at least one.
unsigned HardwareThreads();

}  // namespace duvo
