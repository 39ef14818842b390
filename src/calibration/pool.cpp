#include "calibration/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace vardex::calibration {
namespace {

// One parallel_for call. Shared ownership lets a worker that is still looking at an
// exhausted job outlive the caller's frame safely.
struct Job {
    std::size_t n;
    const std::function<void(std::size_t, std::size_t)>* body;
    // Claimed by every participant, so kept off each other's cache line.
    alignas(64) std::atomic<std::size_t> next{0};
    alignas(64) std::atomic<std::size_t> finished{0};
    std::mutex mutex;
    std::condition_variable all_done;
    std::exception_ptr error;  // first exception, guarded by mutex

    Job(std::size_t n_, const std::function<void(std::size_t, std::size_t)>* body_) : n(n_), body(body_) {}

    // Claims and runs indices until none is left.
    void work(std::size_t slot) {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n) return;
            try {
                (*body)(i, slot);
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!error) error = std::current_exception();
            }
            if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == n) {
                std::lock_guard lock(mutex);
                all_done.notify_all();
            }
        }
    }
};

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

class Pool {
public:
    // Starts up to `wanted` workers on a fully built pool. Workers are detached and never
    // joined: they hold no Python state and only wait on this pool, which is never destroyed,
    // so process exit (interpreter shutdown included) can end them at any point without
    // running destructors under their feet. A worker that cannot be started (a thread or
    // address-space limit) is simply not there: the caller of parallel_for works too, so the
    // pool runs with the workers it got, none included.
    void start(std::size_t wanted) {
        for (std::size_t w = 0; w < wanted; ++w) {
            try {
                std::thread([this, slot = w + 1] { run(slot); }).detach();
            } catch (const std::system_error&) {
                break;
            }
            size_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    std::size_t size() const { return size_.load(std::memory_order_relaxed); }

    void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
        if (n == 0) return;
        auto job = std::make_shared<Job>(n, &body);
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(job);
        }
        work_available_.notify_all();

        // The caller works too, so the job finishes even if no worker ever picks it up.
        job->work(0);
        retire(job);
        std::unique_lock lock(job->mutex);
        job->all_done.wait(lock, [&] { return job->finished.load(std::memory_order_acquire) == n; });
        if (job->error) std::rethrow_exception(job->error);
    }

private:
    void run(std::size_t slot) {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                work_available_.wait(lock, [&] { return !jobs_.empty(); });
                job = jobs_.front();
            }
            job->work(slot);
            retire(job);
        }
    }

    // Drops an exhausted job from the queue so that workers stop picking it.
    void retire(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(mutex_);
        auto it = std::find(jobs_.begin(), jobs_.end(), job);
        if (it != jobs_.end()) jobs_.erase(it);
    }

    std::atomic<std::size_t> size_{0};
    std::mutex mutex_;
    std::condition_variable work_available_;
    std::deque<std::shared_ptr<Job>> jobs_;
};

Pool& pool() {
    // Deliberately leaked (see start); no thread sees the pool before it is fully built. The
    // static initialisation is thread-safe.
    static Pool* const instance = [] {
        auto* p = new Pool();
        p->start(available_processors());
        return p;
    }();
    return *instance;
}

}  // namespace

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body) {
    pool().parallel_for(n, [&body](std::size_t i, std::size_t) { body(i); });
}

void parallel_for_slots(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    pool().parallel_for(n, body);
}

std::size_t pool_size() { return pool().size(); }

}  // namespace vardex::calibration
