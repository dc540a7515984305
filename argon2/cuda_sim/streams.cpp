// Streams and events: every stream runs its work on a thread of its own, in
// the runtime's order and no stronger one (the legacy stream and the blocking
// streams wait for each other's work; an event wait orders a stream after the
// event's stream), and the host learns what is done only by waiting.
#include <algorithm>
#include <cstdio>

#include "host.h"

namespace cudasim {

void join(Clock& into, const Clock& other) {
    for (const auto& [stream, seq] : other) {
        std::uint64_t& mine = into[stream];
        mine = std::max(mine, seq);
    }
}

namespace {

void streamLoop(Stream* s) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    for (;;) {
        r.cv.wait(lock, [&] { return !s->queue.empty() || s->stopping; });
        if (s->queue.empty()) return;
        Op op = std::move(s->queue.front());
        s->queue.pop_front();
        r.cv.wait(lock, [&] {
            return std::all_of(op.waits.begin(), op.waits.end(),
                               [](const auto& w) { return w.first->completed >= w.second; });
        });
        if (op.work && s->device->sticky == cudaSuccess) {
            lock.unlock();
            try {
                op.work(op.clock);
                lock.lock();
            } catch (const Fault& f) {
                lock.lock();
                if (s->device->sticky == cudaSuccess) {
                    s->device->sticky = f.code;
                    r.fault = f.what;
                    std::fprintf(stderr, "cuda-sim: %s\n", f.what.c_str());
                }
            }
        }
        s->completed = op.seq;
        r.cv.notify_all();
    }
}

}  // namespace

std::shared_ptr<Stream> newStream(Device* d, bool legacy, bool blocking) {
    Runtime& r = rt();
    auto s = std::make_shared<Stream>();
    s->id = r.nextStream++;
    s->device = d;
    s->legacy = legacy;
    s->blocking = blocking;
    s->worker = std::thread(streamLoop, s.get());
    return s;
}

std::shared_ptr<Stream> resolve(cudaStream_t handle, Device* d) {
    Runtime& r = rt();
    if (!handle) {
        if (!d->legacy) d->legacy = newStream(d, true, true);
        return d->legacy;
    }
    const auto it = r.streamHandles.find(handle);
    if (it == r.streamHandles.end() || it->second->stopping) return nullptr;
    return it->second;
}

std::vector<std::shared_ptr<Stream>> streamsOf(const Device& d) {
    std::vector<std::shared_ptr<Stream>> all = d.streams;
    if (d.legacy) all.push_back(d.legacy);
    return all;
}

// The legacy stream waits for all blocking streams' work so far, and they for
// its.
std::uint64_t enqueue(const std::shared_ptr<Stream>& s, std::function<void(const Clock&)> work,
                      const Event* waitFor) {
    Runtime& r = rt();
    Op op;
    op.seq = ++s->enqueued;
    op.clock = s->clock;
    join(op.clock, tlHostClock);
    Device* d = s->device;
    if (s->legacy) {
        for (const auto& b : d->streams)
            if (b->blocking && b->enqueued > 0) {
                op.waits.emplace_back(b, b->enqueued);
                join(op.clock, b->clock);
            }
    } else if (s->blocking && d->legacy && d->legacy->enqueued > 0) {
        op.waits.emplace_back(d->legacy, d->legacy->enqueued);
        join(op.clock, d->legacy->clock);
    }
    if (waitFor && waitFor->stream) {
        op.waits.emplace_back(waitFor->stream, waitFor->seq);
        join(op.clock, waitFor->clock);
    }
    op.work = std::move(work);
    s->clock = op.clock;
    s->clock[s->id] = op.seq;
    const std::uint64_t seq = op.seq;
    s->queue.push_back(std::move(op));
    r.cv.notify_all();
    return seq;
}

void hostWait(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Stream>& s, std::uint64_t seq,
              const Clock& clock) {
    rt().cv.wait(lock, [&] { return s->completed >= seq; });
    hostLearns(*s, seq, clock);
}

void hostLearns(const Stream& s, std::uint64_t seq, const Clock& clock) {
    join(tlHostClock, clock);
    tlHostClock[s.id] = std::max(tlHostClock[s.id], seq);
    settle();
}

}  // namespace cudasim
