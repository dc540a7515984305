// What a stop request (Ctrl-C) means to network work. Work already under
// way when it comes (a fetch, a connect, a handshake, the send of a found
// block) may go on for a short grace counted from the request itself, so that
// a block found just before Ctrl-C still reaches a node that is up; past the
// grace every wait gives up and no new network work starts, so that Ctrl-C
// still ends the program within 2 seconds whatever a peer does.
#pragma once

#include <atomic>
#include <memory>

namespace quorlen::node {

class StopGrace {
public:
    static constexpr long long kGraceMs = 1500;

    // `stop` is the request. The grace counts from the moment the request is
    // first seen through this object or one of its copies, so the owner of
    // the copies polls `seen` often (the supervision loop does, every 50 ms).
    // `graceMs` is how long that work may go on (shorter in tests).
    StopGrace(const std::atomic<bool>* stop = nullptr, long long graceMs = kGraceMs);  // NOLINT: a flag converts

    bool requested() const { return stop_ && stop_->load(); }
    // As `requested`, and the first call that sees the request starts the grace.
    bool seen() const;
    // A stop was requested and its grace has run out.
    bool over() const;
    // The earlier of `deadlineMs` and the end of the grace (steady-clock ms).
    long long limit(long long deadlineMs) const;

private:
    // The end of the grace, or a value no deadline reaches when no stop was
    // requested.
    long long endMs() const;

    const std::atomic<bool>* stop_;
    long long graceMs_;
    std::shared_ptr<std::atomic<long long>> firstSeen_ = std::make_shared<std::atomic<long long>>(0);
};

}  // namespace quorlen::node
