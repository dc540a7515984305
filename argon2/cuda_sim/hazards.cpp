// The checks between operations of different streams: every finished
// operation keeps its footprint (the ranges a copy touched, the 32-byte
// sectors a kernel read and wrote) while some later operation of another
// stream may be unordered with it, and two unordered operations where one
// writes what the other touches fail the later one to finish.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host.h"

namespace cudasim {

namespace {

// The footprint of the grid running on this thread, with the chunk last used.
thread_local Footprint* tlFootprint = nullptr;
thread_local Footprint::Chunk* tlChunk = nullptr;
thread_local std::pair<std::uint64_t, std::size_t> tlChunkKey;

// The first sector where one footprint writes what the other touches, as an
// address; 0 when none.
std::uintptr_t conflict(const Footprint& a, const Footprint& b) {
    for (const Footprint::Range& x : a.ranges)
        for (const Footprint::Range& y : b.ranges)
            if (x.allocation == y.allocation && (x.write || y.write) && x.begin < y.end && y.begin < x.end)
                return x.base + std::max(x.begin, y.begin);
    const auto rangeAgainstChunks = [](const Footprint::Range& x, const Footprint& k) -> std::uintptr_t {
        if (x.begin >= x.end) return 0;
        const std::size_t first = x.begin / 32, last = (x.end - 1) / 32;
        auto it = k.chunks.lower_bound({x.allocation, first / Footprint::kChunkSectors});
        for (; it != k.chunks.end() && it->first.first == x.allocation &&
               it->first.second <= last / Footprint::kChunkSectors;
             ++it) {
            const std::size_t chunkFirst = it->first.second * Footprint::kChunkSectors;
            const std::size_t from = std::max(first, chunkFirst), to = std::min(last, chunkFirst + Footprint::kChunkSectors - 1);
            for (std::size_t sector = from; sector <= to; ++sector) {
                const std::size_t bit = sector - chunkFirst;
                const std::uint64_t mask = 1ull << (bit % 64);
                const bool written = it->second.written[bit / 64] & mask;
                const bool read = it->second.read[bit / 64] & mask;
                if (written || (x.write && read)) return x.base + std::max(x.begin, sector * 32);
            }
        }
        return 0;
    };
    for (const Footprint::Range& x : a.ranges)
        if (const std::uintptr_t at = rangeAgainstChunks(x, b)) return at;
    for (const Footprint::Range& y : b.ranges)
        if (const std::uintptr_t at = rangeAgainstChunks(y, a)) return at;
    const Footprint& small = a.chunks.size() <= b.chunks.size() ? a : b;
    const Footprint& large = &small == &a ? b : a;
    for (const auto& [key, mine] : small.chunks) {
        const auto other = large.chunks.find(key);
        if (other == large.chunks.end()) continue;
        for (std::size_t w = 0; w < 32; ++w) {
            const std::uint64_t clash = (mine.written[w] & (other->second.read[w] | other->second.written[w])) |
                                        (other->second.written[w] & mine.read[w]);
            if (clash)
                return small.bases.at(key.first) +
                       (key.second * Footprint::kChunkSectors + w * 64 + std::size_t(__builtin_ctzll(clash))) * 32;
        }
    }
    return 0;
}

}  // namespace

std::uint64_t ownSeq(const Clock& clock, std::uint64_t stream) {
    const auto it = clock.find(stream);
    return it == clock.end() ? 1 : it->second + 1;
}

// Fails the operation when an operation of another stream that nothing
// orders against it wrote what it touched or touched what it wrote; else
// keeps it for those to come.
void finish(Device* d, Record record) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    for (const Record& p : d->history) {
        if (p.stream == record.stream || covers(record.clock, p.stream, p.seq) ||
            covers(p.clock, record.stream, record.seq))
            continue;
        if (const std::uintptr_t at = conflict(*p.footprint, *record.footprint)) {
            char text[120];
            std::snprintf(text, sizeof text, "0x%" PRIxPTR, at);
            throw Fault{cudaErrorLaunchFailure,
                        record.what + " on stream " + std::to_string(record.stream) + " and " + p.what +
                            " on stream " + std::to_string(p.stream) + " both touch the bytes at " + text +
                            ", one writing them, and nothing orders them: one may still be writing while the other "
                            "runs"};
        }
    }
    // What every stream of the device has waited for is over for the checks.
    const std::vector<std::shared_ptr<Stream>> live = streamsOf(*d);
    d->history.push_back(std::move(record));
    const auto settled = [&](const Record& p) {
        return std::all_of(live.begin(), live.end(), [&](const std::shared_ptr<Stream>& s) {
            return s->id == p.stream ? s->completed >= p.seq : covers(s->clock, p.stream, p.seq);
        });
    };
    d->history.erase(std::remove_if(d->history.begin(), d->history.end(), settled), d->history.end());
    while (d->history.size() > 64) d->history.pop_front();
}

void recordAccess(const Allocation& a, std::size_t offset, std::size_t bytes, bool write) {
    Footprint* f = tlFootprint;
    if (!f || bytes == 0) return;
    for (std::size_t sector = offset / 32, last = (offset + bytes - 1) / 32; sector <= last; ++sector) {
        const std::pair<std::uint64_t, std::size_t> key{a.id, sector / Footprint::kChunkSectors};
        if (!tlChunk || key != tlChunkKey) {
            tlChunk = &f->chunks[key];
            tlChunkKey = key;
            f->bases.emplace(a.id, a.base);
        }
        const std::size_t bit = sector % Footprint::kChunkSectors;
        (write ? tlChunk->written : tlChunk->read)[bit / 64] |= 1ull << (bit % 64);
    }
}

Footprint runRecorded(const LaunchInfo& launch) {
    Footprint footprint;
    tlFootprint = &footprint;
    tlChunk = nullptr;
    try {
        runGrid(launch);
    } catch (...) {
        tlFootprint = nullptr;
        throw;
    }
    tlFootprint = nullptr;
    return footprint;
}

void hostFault(Device& d, const std::string& what) {
    if (d.sticky != cudaSuccess) return;
    d.sticky = cudaErrorLaunchFailure;
    rt().fault = what;
    std::fprintf(stderr, "cuda-sim: %s\n", what.c_str());
}

}  // namespace cudasim
