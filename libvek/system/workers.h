// Large pictures decoded in bands on worker threads. The threads live only inside the call that
// starts them; the calling thread takes bands too; and however many host threads call at once, the
// library's callers and workers together never outnumber the cores: where callers already keep
// every core busy, no worker starts (it would only wait for a core while its caller waits for it).
// Pictures under about four megapixels stay on the calling thread: starting threads would cost
// more than it saves.
//
// VEK_THREADS in the environment overrides the automatic choice: 1 keeps every picture on the
// calling thread, and N above 1 spreads every picture that has bands enough over N threads, however
// small (the tests compare the two).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek::workers {

// Pictures of at least this many pixels are spread over threads.
constexpr uint64_t kParallelPixels = uint64_t{4} << 20;

// Held by a library call while it decodes or converts, so that others see the cores it keeps busy.
class Caller {
public:
    Caller();
    ~Caller();
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;
};

// How many threads to spread a picture of `pixels` over, the calling thread included.
unsigned threadsFor(uint64_t pixels);

// Calls body(first, end) on ranges that together cover [0, count) once, over at most `threads`
// threads; returns when all are done. The body must not throw.
void run(size_t count, unsigned threads, void (*body)(void* context, size_t first, size_t end), void* context);

// The same for the items of a picture of `pixels` pixels (its rows, or strips of rows).
template <typename Body> void forRanges(uint64_t pixels, size_t count, const Body& body) {
    run(
        count, threadsFor(pixels),
        [](void* context, size_t first, size_t end) { (*static_cast<const Body*>(context))(first, end); },
        const_cast<Body*>(&body));
}

} // namespace vek::workers
