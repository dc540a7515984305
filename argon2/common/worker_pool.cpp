#include "worker_pool.h"

#include <algorithm>

namespace argon2::detail {

WorkerPool::WorkerPool(unsigned threads) : count_(std::max(1u, threads)) {
    threads_.reserve(count_);
    for (unsigned t = 0; t < count_; ++t) threads_.emplace_back([this, t] { run(t); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
}

std::uint64_t WorkerPool::post(Job job) {
    std::uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
        ticket = ++posted_;
    }
    changed_.notify_all();
    return ticket;
}

void WorkerPool::wait(std::uint64_t ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_ >= ticket; });
}

void WorkerPool::run(unsigned index) {
    std::uint64_t next = 0;  // the job this thread runs next
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return posted_ > next || (stopping_ && queue_.empty()); });
        if (posted_ <= next) return;
        // Every thread finished the job before `next`, so it is the front.
        Job& job = queue_.front();
        lock.unlock();
        job(index);
        lock.lock();
        ++next;
        if (++arrived_ == count_) {
            // The last one out retires the job: nobody touches it any more.
            arrived_ = 0;
            queue_.pop_front();
            ++done_;
            changed_.notify_all();
        } else {
            changed_.wait(lock, [&] { return done_ >= next; });
        }
    }
}

}  // namespace argon2::detail
