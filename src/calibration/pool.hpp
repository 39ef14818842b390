// Process-wide worker pool for the parallel population evaluation.
#pragma once

#include <cstddef>
#include <functional>

namespace vardex::calibration {

// Runs body(i) for every i in [0, n) on the pool and returns when all are done; the
// calling thread takes indices too. Callers collect results by index, so the schedule
// never shows in the outcome. Safe to call from several threads at once. An exception
// thrown by body is rethrown here after every index has finished.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body);

// parallel_for where body(i, slot) also gets the slot of the thread running it: 0 for the caller, 1 to
// pool_size() for the workers, never two threads of one call on the same slot. For per-thread buffers.
void parallel_for_slots(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Number of worker threads of the pool (created on first use): one per processor the
// process may run on, fewer if the system refuses to start more (0 when none could start;
// parallel_for then runs on the calling thread alone).
std::size_t pool_size();

}  // namespace vardex::calibration
