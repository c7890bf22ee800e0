#include "libvek/system/workers.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "libvek/base/refusal.h"

namespace vek::workers {
namespace {

// Constant-initialised: nothing for the module notifications to set up or tear down.
constinit std::atomic<int> busy{0};
constinit std::atomic<int> callers{0};
constinit std::atomic<int> coreCount{0};

int cores() {
    int n = coreCount.load(std::memory_order_relaxed);
    if (n == 0) {
        n = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
        coreCount.store(n, std::memory_order_relaxed);
    }
    return n;
}

// VEK_THREADS, or 0 when it is not set to a number from 1 to 256.
int threadsAsked() {
    const char* v = std::getenv("VEK_THREADS");
    if (v == nullptr) return 0;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return end != v && *end == '\0' && n >= 1 && n <= 256 ? static_cast<int>(n) : 0;
}

// Up to `wanted` of the workers the library may run; 0 when callers and workers fill the cores.
int takeWorkers(int wanted) {
    const int asked = threadsAsked();
    const int limit = (asked ? asked : cores()) - std::max(1, callers.load(std::memory_order_relaxed));
    int now = busy.load(std::memory_order_relaxed);
    for (;;) {
        const int take = std::min(wanted, limit - now);
        if (take <= 0) return 0;
        if (busy.compare_exchange_weak(now, now + take, std::memory_order_acq_rel)) return take;
    }
}

struct Job {
    void (*body)(void*, size_t, size_t);
    void* context;
    size_t count, piece;
    std::atomic<size_t> next{0};
    // Why the first worker to refuse its band did, for the caller to pass on.
    refusal::Said said;
    std::atomic<bool> saidKept{false};

    void work() {
        for (;;) {
            const size_t first = next.fetch_add(piece, std::memory_order_relaxed);
            if (first >= count) return;
            body(context, first, std::min(count, first + piece));
        }
    }

    void keepReason() {
        if (refusal::last().reason[0] != '\0' && !saidKept.exchange(true)) said = refusal::last();
    }
};

} // namespace

Caller::Caller() { callers.fetch_add(1, std::memory_order_relaxed); }
Caller::~Caller() { callers.fetch_sub(1, std::memory_order_relaxed); }

unsigned threadsFor(uint64_t pixels) {
    if (const int asked = threadsAsked()) return static_cast<unsigned>(asked);
    return pixels >= kParallelPixels ? static_cast<unsigned>(cores()) : 1;
}

void run(size_t count, unsigned threads, void (*body)(void*, size_t, size_t), void* context) {
    if (count == 0) return;
    const size_t most = std::min<size_t>(threads, count);
    const int extra = most > 1 ? takeWorkers(static_cast<int>(most - 1)) : 0;
    if (extra == 0) {
        body(context, 0, count);
        return;
    }
    // Four pieces a thread: one that runs slow (its band costs more, or its core is shared) is
    // made up by the others.
    Job job{body, context, count, std::max<size_t>(1, count / (static_cast<size_t>(extra + 1) * 4)), {}, {}, {}};
    std::thread started[64];
    int running = 0;
    for (; running < extra && running < 64; ++running) {
        try {
            started[running] = std::thread([&job] {
                job.work();
                job.keepReason();
            });
        } catch (const std::system_error&) {
            break;
        }
    }
    busy.fetch_sub(extra - running, std::memory_order_acq_rel);
    job.work();
    for (int i = 0; i < running; ++i) started[i].join();
    if (job.saidKept.load()) refusal::adopt(job.said);
    busy.fetch_sub(running, std::memory_order_acq_rel);
}

} // namespace vek::workers
