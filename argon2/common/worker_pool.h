// A fixed set of threads that runs jobs one after the other, each job on
// every thread at once (each thread is told its index). A processing unit
// makes its pool once, so a batch costs no thread creation, and a job can be
// queued behind a running one, which is what lets the caller prepare the
// next batch while this one runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace argon2::detail {

class WorkerPool {
public:
    using Job = std::function<void(unsigned thread)>;

    explicit WorkerPool(unsigned threads);
    // Finishes the queued jobs, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned size() const { return count_; }

    // Queues `job` and returns its ticket at once. A job starts only when
    // every thread has finished the one before. Jobs must not throw.
    std::uint64_t post(Job job);
    // Returns when the job of `ticket` (and so every earlier one) is done.
    void wait(std::uint64_t ticket);

    // f(i) for every i below n, spread over the threads; returns when done.
    template <class F>
    void forEach(std::size_t n, F f) {
        if (n == 0) return;
        std::atomic<std::size_t> cursor{0};
        wait(post([&](unsigned) {
            for (std::size_t i; (i = cursor.fetch_add(1, std::memory_order_relaxed)) < n;) f(i);
        }));
    }

private:
    void run(unsigned index);

    const unsigned count_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;     // front: the running job
    std::uint64_t posted_ = 0;  // jobs queued so far
    std::uint64_t done_ = 0;    // jobs finished by every thread
    unsigned arrived_ = 0;      // threads finished with the front job
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace argon2::detail
