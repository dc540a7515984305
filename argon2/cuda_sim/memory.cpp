// Device memory and copies: allocations are host memory within the card's
// budget, with a bit per 4 bytes that says whether a copy or a kernel wrote
// there (cleared where a range is declared dead); pinned host memory; copies
// that take effect at the latest moment the runtime allows (a copy to the
// host lands when the host synchronises with it, poison until then; a copy
// from pinned memory reads it when its stream reaches it).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "host.h"
#include "undefined.h"

namespace cudasim {

void Allocation::markWritten(std::size_t offset, std::size_t bytes) {
    if (bytes == 0) return;
    for (std::size_t unit = offset / 4, last = (offset + bytes - 1) / 4; unit <= last; ++unit) {
        const std::uint32_t bit = 1u << (unit % 32);
        std::atomic<std::uint32_t>& w = written[unit / 32];
        if (unit % 32 == 0 && unit + 31 <= last) {  // a whole word at once
            if (w.load(std::memory_order_relaxed) != ~0u) w.store(~0u, std::memory_order_relaxed);
            unit += 31;
            continue;
        }
        if (!(w.load(std::memory_order_relaxed) & bit)) w.fetch_or(bit, std::memory_order_relaxed);
    }
}

std::size_t Allocation::firstUnwritten(std::size_t offset, std::size_t bytes) const {
    if (bytes == 0) return SIZE_MAX;
    for (std::size_t unit = offset / 4, last = (offset + bytes - 1) / 4; unit <= last; ++unit)
        if (!(written[unit / 32].load(std::memory_order_relaxed) & (1u << (unit % 32))))
            return std::max(offset, unit * 4);
    return SIZE_MAX;
}

Allocation* findAllocation(const void* p, std::size_t bytes) {
    Runtime& r = rt();
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    std::shared_lock lock(r.allocationsMutex);
    auto it = r.allocations.upper_bound(a);
    if (it == r.allocations.begin()) return nullptr;
    --it;
    return it->second->contains(a, bytes) ? it->second.get() : nullptr;
}

// Declared dead: the bits that say what was written are cleared (whole pages
// handed back, as are the contents' whole pages).
void forget(Allocation& a, std::size_t offset, std::size_t bytes) {
    if (bytes == 0) return;
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const auto giveBack = [page](std::uintptr_t from, std::uintptr_t to) {
        const std::uintptr_t first = (from + page - 1) / page * page, last = to / page * page;
        if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    };
    giveBack(a.base + offset, a.base + offset + bytes);
    markUndefined(reinterpret_cast<void*>(a.base + offset), bytes);
    const std::size_t firstUnit = (offset + 3) / 4, endUnit = (offset + bytes) / 4;  // whole units only
    std::size_t unit = firstUnit;
    for (; unit < endUnit && unit % 32 != 0; ++unit) a.written[unit / 32].fetch_and(~(1u << (unit % 32)));
    const std::size_t wordsFrom = unit / 32, wordsTo = endUnit / 32;
    if (wordsFrom < wordsTo) {
        // Whole pages of bits are handed back (they read as zeros again);
        // the words before and after them are cleared one by one.
        // The bits have a mapping of their own: word w starts a page when
        // w is a multiple of wordsPerPage.
        const std::size_t wordsPerPage = page / sizeof(std::uint32_t);
        const std::size_t pagedFrom = std::min(wordsTo, (wordsFrom + wordsPerPage - 1) / wordsPerPage * wordsPerPage);
        const std::size_t pagedTo = std::max(pagedFrom, wordsTo / wordsPerPage * wordsPerPage);
        for (std::size_t w = wordsFrom; w < pagedFrom; ++w) a.written[w].store(0, std::memory_order_relaxed);
        if (pagedFrom < pagedTo)
            madvise(static_cast<void*>(a.written + pagedFrom), (pagedTo - pagedFrom) * sizeof(std::uint32_t),
                    MADV_DONTNEED);
        for (std::size_t w = pagedTo; w < wordsTo; ++w) a.written[w].store(0, std::memory_order_relaxed);
        unit = wordsTo * 32;
    }
    for (; unit < endUnit; ++unit) a.written[unit / 32].fetch_and(~(1u << (unit % 32)));
}

namespace {

// The bytes a copy to the host leaves in its destination until the host
// synchronises with it.
constexpr unsigned char kPoison = 0xdb;

bool isPinned(const void* p, std::size_t bytes) {
    Runtime& r = rt();
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    auto it = r.pinned.upper_bound(a);
    if (it == r.pinned.begin()) return false;
    --it;
    return a + bytes <= it->first + it->second;
}

struct Copy {
    Allocation* dst = nullptr;  // device side, when there is one
    Allocation* src = nullptr;
};

// Checks the pointers of a copy against its kind; fills the device sides.
cudaError_t classify(void* dst, const void* src, std::size_t dstSpan, std::size_t srcSpan, cudaMemcpyKind kind,
                     Copy& c) {
    c.dst = findAllocation(dst, dstSpan);
    c.src = findAllocation(src, srcSpan);
    const bool dstDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool srcDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (kind == cudaMemcpyDefault) return cudaSuccess;
    if (kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if ((dstDevice && !c.dst) || (srcDevice && !c.src)) return cudaErrorInvalidValue;
    if (!dstDevice) c.dst = nullptr;
    if (!srcDevice) c.src = nullptr;
    return cudaSuccess;
}

// Called with the lock held. Enqueues a copy of `height` rows and returns its
// sequence number; `staged` holds the source bytes when they were taken
// from pageable memory at the call.
std::uint64_t enqueueCopy(const std::shared_ptr<Stream>& s, const Copy& c, void* dst, std::size_t dpitch,
                          const void* src, std::size_t spitch, std::size_t width, std::size_t height,
                          std::shared_ptr<std::vector<unsigned char>> staged) {
    Runtime& r = rt();
    const void* from = staged ? staged->data() : src;
    if (staged) spitch = width;
    Allocation* target = c.dst;
    // A copy to the host lands when the host synchronises with it; until
    // then its destination holds poison.
    std::shared_ptr<std::vector<unsigned char>> landing;
    std::shared_ptr<std::atomic<bool>> ran;
    if (c.src && !c.dst) {
        landing = std::make_shared<std::vector<unsigned char>>(width * height);
        ran = std::make_shared<std::atomic<bool>>(false);
        for (std::size_t row = 0; row < height; ++row)
            std::memset(static_cast<unsigned char*>(dst) + row * dpitch, kPoison, width);
    }
    auto footprint = std::make_shared<Footprint>();
    const auto touch = [&](const Allocation* a, const void* p, std::size_t pitch, bool write) {
        if (!a) return;
        const std::size_t begin = reinterpret_cast<std::uintptr_t>(p) - a->base;
        for (std::size_t row = 0; row < height; ++row)
            footprint->ranges.push_back({a->id, a->base, begin + row * pitch, begin + row * pitch + width, write});
    };
    touch(c.src, src, spitch, false);
    touch(c.dst, dst, dpitch, true);
    const char* what = !c.src ? "a copy to the device" : !c.dst ? "a copy to the host" : "a copy on the device";
    Device* d = s->device;
    const std::uint64_t streamId = s->id;
    const std::uint64_t seq = enqueue(s, [=](const Clock& clock) {
        const auto* in = static_cast<const unsigned char*>(staged ? staged->data() : from);
        auto* out = landing ? landing->data() : static_cast<unsigned char*>(dst);
        const std::size_t outPitch = landing ? width : dpitch;
        for (std::size_t row = 0; row < height; ++row) {
            std::memcpy(out + row * outPitch, in + row * spitch, width);
            if (target) target->markWritten(reinterpret_cast<std::uintptr_t>(out + row * dpitch) - target->base, width);
        }
        if (ran) ran->store(true);
        finish(d, Record{what, streamId, ownSeq(clock, streamId), clock, footprint});
    });
    if (landing)
        r.downloads.push_back(Download{d->index, streamId, seq, static_cast<unsigned char*>(dst), dpitch, width, height,
                                       landing, ran});
    if (!c.src && c.dst && !staged && height > 0) {
        PinnedRead pinned{d->index, streamId, seq, static_cast<const unsigned char*>(src), spitch, width, height, {}};
        pinned.snapshot.resize(width * height);
        for (std::size_t row = 0; row < height; ++row)
            std::memcpy(pinned.snapshot.data() + row * width, static_cast<const unsigned char*>(src) + row * spitch, width);
        r.pinnedReads.push_back(std::move(pinned));
        if (r.pinnedReads.size() > 256) r.pinnedReads.pop_front();
    }
    if (target && height > 0) {
        CopyWrite w;
        w.begin = reinterpret_cast<std::uintptr_t>(dst) - target->base;
        w.end = w.begin + (height - 1) * dpitch + width;
        w.stream = s->id;
        w.seq = seq;
        w.clock = s->queue.back().clock;
        std::lock_guard g(target->copiesMutex);
        target->copies.push_back(std::move(w));
        if (target->copies.size() > 16) target->copies.pop_front();
    }
    return seq;
}

}  // namespace

// Called with the lock held, after this host thread synchronised: copies to
// the host it now knows are done fill their destinations, and the pinned
// memory of copies from the host it now knows are done must still hold what
// it held at their calls.
void settle() {
    Runtime& r = rt();
    for (auto it = r.downloads.begin(); it != r.downloads.end();) {
        if (!covers(tlHostClock, it->stream, it->seq)) {
            ++it;
            continue;
        }
        // Bytes that another copy the host has not synchronised with also
        // writes could hold either copy's on a card: the poison stays there.
        const auto span = [](const Download& x) {
            const auto at = reinterpret_cast<std::uintptr_t>(x.dst);
            return std::make_pair(at, x.height == 0 ? at : at + (x.height - 1) * x.dpitch + x.width);
        };
        const bool contested = std::any_of(r.downloads.begin(), r.downloads.end(), [&](const Download& other) {
            return &other != &*it && !covers(tlHostClock, other.stream, other.seq) &&
                   span(other).first < span(*it).second && span(*it).first < span(other).second;
        });
        if (it->ran->load() && !contested)  // else a fault stopped it, or the copy is contested
            for (std::size_t row = 0; row < it->height; ++row)
                std::memcpy(it->dst + row * it->dpitch, it->bytes->data() + row * it->width, it->width);
        it = r.downloads.erase(it);
    }
    for (auto it = r.pinnedReads.begin(); it != r.pinnedReads.end();) {
        if (!covers(tlHostClock, it->stream, it->seq)) {
            ++it;
            continue;
        }
        for (std::size_t row = 0; row < it->height; ++row) {
            const unsigned char* now = it->src + row * it->spitch;
            const unsigned char* then = it->snapshot.data() + row * it->width;
            if (std::memcmp(now, then, it->width) == 0) continue;
            std::size_t at = 0;
            while (now[at] == then[at]) ++at;
            char text[200];
            std::snprintf(text, sizeof text,
                          "the host wrote pinned memory at %p before synchronising with the copy on stream %" PRIu64
                          " that reads it (that copy may have read either bytes)",
                          static_cast<const void*>(now + at), it->stream);
            hostFault(*r.devices[std::size_t(it->device)], text);
            break;
        }
        it = r.pinnedReads.erase(it);
    }
}

cudaError_t copy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                   std::size_t height, cudaMemcpyKind kind, cudaStream_t handle, bool async) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    if (width > dpitch || width > spitch) return fail(cudaErrorInvalidPitchValue);
    const std::size_t dstSpan = height ? (height - 1) * dpitch + width : 0;
    const std::size_t srcSpan = height ? (height - 1) * spitch + width : 0;
    Copy c;
    if (const cudaError_t e = classify(dst, src, dstSpan, srcSpan, kind, c)) return fail(e);
    const std::shared_ptr<Stream> s = resolve(handle, d);
    if (!s) return fail(cudaErrorInvalidResourceHandle);
    // Pageable host memory: the runtime takes the bytes into a staging buffer
    // at the call; a synchronous copy from it may return before they land.
    const bool pageableSource = !c.src && !isPinned(src, srcSpan);
    std::shared_ptr<std::vector<unsigned char>> staged;
    if (pageableSource && c.dst) {
        staged = std::make_shared<std::vector<unsigned char>>(width * height);
        for (std::size_t row = 0; row < height; ++row)
            std::memcpy(staged->data() + row * width, static_cast<const unsigned char*>(src) + row * spitch, width);
    }
    const std::uint64_t seq = enqueueCopy(s, c, dst, dpitch, src, spitch, width, height, staged);
    const bool pageableTarget = !c.dst && !isPinned(dst, dstSpan);
    const bool returnsEarly = async ? !pageableTarget : (staged != nullptr);
    if (!returnsEarly) hostWait(lock, s, seq, s->clock);
    return d->sticky;
}

}  // namespace cudasim
