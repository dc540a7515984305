// The OpenCL flavour's processing unit: the batch's blocks in device
// buffers, allocated once. Per round the host expands each password's H0 into
// the first two blocks of every lane (a few dozen BLAKE2b compressions) and
// sends them up, 2 KiB a lane; the device fills the memory; the last block of
// every lane comes down and the host makes the tags. Beside the 32 MiB each
// hash moves through device memory this traffic is noise, and it keeps the
// device code to the fill alone.
//
// Two rounds can be in flight: each has its own host buffers and an event,
// and all of its work is queued on the unit's one in-order queue, so the
// second round's blocks go up and its fill starts as soon as the first ends.
//
// A work-group is one hash (local size 32 x lanes). With by-segment, one
// launch per segment; without, one per pass, with a work-group barrier
// between slices. Drivers limit the size of one buffer (often a quarter of the
// device's memory), so the blocks lie in as many buffers as that needs,
// whole hashes each, with the launches made per buffer.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "../common/addressing.h"
#include "../common/round_ring.h"
#include "../common/slot_store.h"
#include "../common/worker_pool.h"
#include "../kernel/block_layout.h"
#include "argon2gpu/cuda/processing_unit.h"
#include "cl_program.h"

namespace argon2::cuda {
namespace {

using opencl::check;
using opencl::Stage;

// Owns one memory object; moved, never copied.
struct Buffer {
    cl_mem mem = nullptr;
    Buffer() = default;
    Buffer(Buffer&& other) noexcept : mem(other.mem) { other.mem = nullptr; }
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(mem, other.mem);
        return *this;
    }
    ~Buffer() {
        if (mem) clReleaseMemObject(mem);
    }
};

struct Queue {
    cl_command_queue queue = nullptr;
    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    ~Queue() {
        if (!queue) return;
        clFinish(queue);  // nothing may still use the buffers released after this
        clReleaseCommandQueue(queue);
    }
};

struct Kernel {
    cl_kernel kernel = nullptr;
    Kernel() = default;
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
    ~Kernel() {
        if (kernel) clReleaseKernel(kernel);
    }
};

// Bytes a unit holds on its device, in the runtime's free-memory estimate
// until the unit is gone, however far its construction got.
struct Holding {
    int device;
    long long bytes = 0;
    void add(std::size_t n) {
        bytes += (long long)n;
        opencl::ClRuntime::instance().hold(device, (long long)n);
    }
    ~Holding() { opencl::ClRuntime::instance().hold(device, -bytes); }
};

struct Event {
    cl_event event = nullptr;
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void reset() {
        if (event) clReleaseEvent(event);
        event = nullptr;
    }
    ~Event() { reset(); }
};

}  // namespace

struct ProcessingUnit::Impl {
    struct Round {
        detail::SlotPasswords inputs;
        std::vector<std::uint8_t> h0s;           // batch x 64, for slots set by H0
        std::vector<std::uint64_t> firstBlocks;  // batch x lanes x 2 blocks, stored layout
        std::vector<std::uint64_t> lastBlocks;   // batch x lanes blocks, stored layout
        Event done;
    };
    // Whole hashes, first .. first + count - 1 of the batch.
    struct Chunk {
        Buffer buffer;
        std::size_t first = 0, count = 0;
    };

    int device;
    const Argon2Params* params;
    Type type;
    Version version;
    detail::Geometry g;
    std::size_t batch;
    bool bySegment, precompute;
    cl_context context;
    cl_device_id deviceId;
    Holding holding{device};
    std::vector<Chunk> chunks;
    Buffer refs, refOffsets;
    detail::SlotTags tags;  // of the round ended last
    detail::RoundRing<Round, kRoundsInFlight> rounds;
    Kernel fill;
    // After the buffers and the rounds' events: destroyed first, it waits for
    // the work that still uses them.
    Queue queue;
    detail::WorkerPool pool{std::max(1u, std::thread::hardware_concurrency())};

    std::size_t hashBytes() const { return std::size_t(g.laneBlocks) * g.lanes * kBlockSize; }

    Impl(const ProgramContext* program, const Argon2Params* p, std::size_t n, bool segmentWise, bool precomputeRefs)
        : device(program->impl().device), params(p), type(program->getArgon2Type()),
          version(program->getArgon2Version()),
          g{p->getLanes(), p->getSegmentBlocks(), p->getLaneBlocks(), p->getTimeCost()}, batch(n),
          bySegment(segmentWise), precompute(precomputeRefs), context(program->impl().context),
          deviceId(program->impl().cl->id) {
        opencl::checkNotLost(device);
        const opencl::ClDevice& d = *program->impl().cl;
        tags.resize(n, p->getOutputLength());
        for (Round& r : rounds) r.inputs.resize(n);
        cl_int err = CL_SUCCESS;
        queue.queue = clCreateCommandQueue(context, d.id, 0, &err);
        check(err, "clCreateCommandQueue", device, Stage::Setup);
        fill.kernel = clCreateKernel(program->impl().program, "fill", &err);
        check(err, "clCreateKernel", device, Stage::Setup);
        checkWorkGroup(d);
        if (batch == 0) return;
        for (Round& r : rounds) {
            r.h0s.resize(n * 64);
            r.firstBlocks.resize(n * g.lanes * 2 * 128);
            r.lastBlocks.resize(n * g.lanes * 128);
        }
        allocate(d);
    }

    // A work-group is one hash: 32 work-items per lane and a scratch block
    // each. A group over the device's or the kernel's limit is refused at
    // every launch, so it is refused here, once, for good.
    void checkWorkGroup(const opencl::ClDevice& d) {
        std::size_t kernelLimit = 0;
        check(clGetKernelWorkGroupInfo(fill.kernel, d.id, CL_KERNEL_WORK_GROUP_SIZE, sizeof kernelLimit, &kernelLimit,
                                       nullptr),
              "clGetKernelWorkGroupInfo", device, Stage::Setup);
        const std::size_t items = std::size_t(32) * g.lanes, most = std::min(d.maxWorkGroup, kernelLimit);
        if (items > most || std::size_t(g.lanes) * kBlockSize > d.localMemory)
            throw std::invalid_argument("OpenCL device " + d.name + " cannot run " + std::to_string(g.lanes) +
                                        " lanes in one work-group (" + std::to_string(items) + " work-items, " +
                                        std::to_string(most) + " at most)");
    }

    // The __local scratch the kernel holds must cover the work-group: a GPU
    // hands what a group does not claim to the next one, so a short one is
    // another group's memory, not a fault.
    void checkLocalMemory(const std::size_t local[2]) {
        const std::size_t need = local[0] / 32 * local[1] * kBlockSize;
        cl_ulong held = 0;
        check(clGetKernelWorkGroupInfo(fill.kernel, deviceId, CL_KERNEL_LOCAL_MEM_SIZE, sizeof held, &held, nullptr),
              "clGetKernelWorkGroupInfo", device, Stage::Enqueue);
        if (held < need)
            throw std::logic_error("the fill kernel holds " + std::to_string(held) + " bytes of local memory, its " +
                                   "work-group uses " + std::to_string(need));
    }

    Buffer makeBuffer(std::size_t bytes, const char* what) {
        cl_int err = CL_SUCCESS;
        Buffer b;
        b.mem = clCreateBuffer(context, CL_MEM_READ_WRITE, bytes, nullptr, &err);
        check(err, what, device, Stage::Setup);
        holding.add(bytes);
        return b;
    }

    void allocate(const opencl::ClDevice& d) {
        // Asked of the device as a whole first: drivers allocate on first
        // use, and a batch the device cannot hold should fail here.
        std::size_t free = 0, total = 0;
        opencl::ClRuntime::instance().memoryInfo(device, free, total);
        const std::size_t want = batch * hashBytes();
        if (d.isCpu() ? want > free : want > total)
            throw std::runtime_error("allocating the batch's blocks: out of memory (" + std::to_string(want >> 20) +
                                     " MiB asked, " + std::to_string((d.isCpu() ? free : total) >> 20) +
                                     " MiB on the device)");
        const std::size_t perChunk = std::max<std::size_t>(1, std::size_t(d.maxAllocation) / hashBytes());
        for (std::size_t first = 0; first < batch; first += perChunk) {
            Chunk& c = chunks.emplace_back();
            c.first = first;
            c.count = std::min(perChunk, batch - first);
            c.buffer = makeBuffer(c.count * hashBytes(), "allocating the batch's blocks");
            // Touched now, so that a shortage shows here rather than mid-round.
            const cl_uchar zero = 0;
            check(clEnqueueFillBuffer(queue.queue, c.buffer.mem, &zero, 1, c.count * hashBytes() - 64, 64, 0, nullptr,
                                      nullptr),
                  "allocating the batch's blocks", device, Stage::Setup);
        }
        if (precompute) {
            const detail::ReferenceTable table(g, type);
            std::vector<cl_long> offsets(table.offsets().begin(), table.offsets().end());
            refs = makeBuffer(std::max<std::size_t>(4, table.bytes()), "allocating the reference table");
            refOffsets = makeBuffer(offsets.size() * sizeof(cl_long), "allocating the reference offsets");
            if (table.bytes())
                check(clEnqueueWriteBuffer(queue.queue, refs.mem, CL_TRUE, 0, table.bytes(), table.all().data(), 0, nullptr,
                                           nullptr),
                      "uploading the reference table", device, Stage::Setup);
            check(clEnqueueWriteBuffer(queue.queue, refOffsets.mem, CL_TRUE, 0, offsets.size() * sizeof(cl_long),
                                       offsets.data(), 0, nullptr, nullptr),
                  "uploading the reference offsets", device, Stage::Setup);
        } else {
            // The kernel's table arguments are never read then; one word each.
            refs = makeBuffer(4, "allocating the reference table");
            refOffsets = makeBuffer(8, "allocating the reference offsets");
        }
        check(clFinish(queue.queue), "allocating the batch's blocks", device, Stage::Setup);
    }

    void setInitialHash(std::size_t slot, const void* h0) {
        Round& r = rounds.staging();
        r.inputs.setByH0(slot);
        std::memcpy(r.h0s.data() + slot * 64, h0, 64);
    }

    void firstBlocks(Round& r, std::size_t slot) {
        std::uint8_t computed[64];
        const std::uint8_t* h0 = r.inputs.h0(slot, r.h0s.data() + slot * 64, computed, *params, type, version);
        for (std::uint32_t lane = 0; lane < g.lanes; ++lane)
            for (std::uint32_t i = 0; i < 2; ++i) {
                Block b;
                params->expandInitialHash(b, h0, lane, i);
                std::uint64_t* out = r.firstBlocks.data() + ((slot * g.lanes + lane) * 2 + i) * 128;
                for (std::uint32_t w = 0; w < 128; ++w) out[kernel::storedPosition(w)] = b.v[w];
            }
    }

    void launch(const Chunk& c, std::uint32_t pass, std::uint32_t sliceBegin, std::uint32_t sliceEnd) {
        const cl_ulong laneM = detail::laneModulus(g.lanes).m;
        const cl_uint args[] = {g.lanes, g.segmentBlocks, g.passes};
        const cl_uint t = cl_uint(type), v = cl_uint(version), pre = precompute ? 1 : 0;
        cl_int err = clSetKernelArg(fill.kernel, 0, sizeof(cl_mem), &c.buffer.mem);
        for (cl_uint i = 0; i < 3; ++i) err |= clSetKernelArg(fill.kernel, 1 + i, sizeof(cl_uint), &args[i]);
        err |= clSetKernelArg(fill.kernel, 4, sizeof laneM, &laneM);
        err |= clSetKernelArg(fill.kernel, 5, sizeof t, &t);
        err |= clSetKernelArg(fill.kernel, 6, sizeof v, &v);
        err |= clSetKernelArg(fill.kernel, 7, sizeof pass, &pass);
        err |= clSetKernelArg(fill.kernel, 8, sizeof sliceBegin, &sliceBegin);
        err |= clSetKernelArg(fill.kernel, 9, sizeof sliceEnd, &sliceEnd);
        err |= clSetKernelArg(fill.kernel, 10, sizeof pre, &pre);
        err |= clSetKernelArg(fill.kernel, 11, sizeof(cl_mem), &refs.mem);
        err |= clSetKernelArg(fill.kernel, 12, sizeof(cl_mem), &refOffsets.mem);
        err |= clSetKernelArg(fill.kernel, 13, std::size_t(g.lanes) * kBlockSize, nullptr);
        check(err == CL_SUCCESS ? CL_SUCCESS : CL_INVALID_KERNEL_ARGS, "setting the fill kernel's arguments", device,
              Stage::Enqueue);
        const std::size_t global[2] = {32 * c.count, g.lanes}, local[2] = {32, g.lanes};
        checkLocalMemory(local);
        check(clEnqueueNDRangeKernel(queue.queue, fill.kernel, 2, nullptr, global, local, 0, nullptr, nullptr),
              "launching the fill kernel", device, Stage::Enqueue);
    }

    // Queues the round: its first blocks up, the fill, its last blocks down.
    void enqueue(Round& r) {
        const std::size_t laneBytes = std::size_t(g.laneBlocks) * kBlockSize;
        for (const Chunk& c : chunks) {
            // Blocks 0 and 1 of every lane: rows of 2 KiB, a lane apart.
            const std::size_t origin[3] = {0, 0, 0}, region[3] = {2 * kBlockSize, c.count * g.lanes, 1};
            check(clEnqueueWriteBufferRect(queue.queue, c.buffer.mem, CL_FALSE, origin, origin, region, laneBytes, 0,
                                           2 * kBlockSize, 0, r.firstBlocks.data() + c.first * g.lanes * 256, 0,
                                           nullptr, nullptr),
                  "uploading the first blocks", device, Stage::Enqueue);
            for (std::uint32_t pass = 0; pass < g.passes; ++pass) {
                if (bySegment)
                    for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice) launch(c, pass, slice, slice + 1);
                else
                    launch(c, pass, 0, kSyncPoints);
            }
            const std::size_t last[3] = {laneBytes - kBlockSize, 0, 0}, one[3] = {kBlockSize, c.count * g.lanes, 1};
            check(clEnqueueReadBufferRect(queue.queue, c.buffer.mem, CL_FALSE, last, origin, one, laneBytes, 0, kBlockSize,
                                          0, r.lastBlocks.data() + c.first * g.lanes * 128, 0, nullptr, nullptr),
                  "downloading the last blocks", device, Stage::Enqueue);
        }
        r.done.reset();
        check(clEnqueueMarkerWithWaitList(queue.queue, 0, nullptr, &r.done.event), "marking the round's end", device,
              Stage::Enqueue);
        check(clFlush(queue.queue), "starting the round", device, Stage::Enqueue);
    }

    void begin() {
        Round& r = rounds.staging();
        if (batch == 0) {
            rounds.markBegun();
            return;
        }
        opencl::checkNotLost(device);
        pool.forEach(batch, [&](std::size_t slot) { firstBlocks(r, slot); });
        try {
            enqueue(r);
        } catch (const DeviceLost&) {
            throw;
        } catch (...) {
            // Refused part way: what was queued still reads the round's host
            // buffers, which the next attempt fills again.
            clFinish(queue.queue);
            throw;
        }
        rounds.markBegun();
    }

    void end() {
        Round* oldest = rounds.oldest();
        if (!oldest) return;
        Round& r = *oldest;
        rounds.markEnded();  // a failed round is over as well
        if (batch == 0) return;
        check(clWaitForEvents(1, &r.done.event), "running the batch", device, Stage::Wait);
        cl_int status = CL_COMPLETE;
        check(clGetEventInfo(r.done.event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr),
              "running the batch", device, Stage::Wait);
        opencl::checkEventStatus(status, "running the batch", device);
        pool.forEach(batch, [&](std::size_t slot) {
            Block x;
            kernel::xorLastBlocks(r.lastBlocks.data() + slot * g.lanes * 128, 128, g.lanes, true, x.v);
            params->finalize(tags.slot(slot), x);
        });
    }
};

#include "../common/processing_unit_calls.inl"

}  // namespace argon2::cuda
