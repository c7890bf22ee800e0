// Every allocation of a decode made to fail in turn, the Nth for every N, through the library and
// through GetPicture, from a file and from memory: each must end in an error code with nothing
// leaked, or in success with exactly the pixels of an undisturbed decode. malloc, calloc and
// realloc are replaced in this program, so the decoders' allocations and operator new (which
// allocates through malloc) are counted too.
#include <gtest/gtest.h>

#include <execinfo.h>

#include <algorithm>

#include <atomic>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "imagelib/vek.h"
#include "plugin/plugin.h"
#include "tests/formats/fixtures.h"
#include "tests/library_decode.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_calls{0};
long g_failAt = 0; // the call that fails; 0: none

bool failNow() {
    if (!g_armed.load(std::memory_order_relaxed)) return false;
    if (++g_calls != g_failAt) return false;
    if (getenv("VEK_ALLOC_TRACE")) {
        void* frames[24];
        backtrace_symbols_fd(frames, backtrace(frames, 24), 2);
    }
    return true;
}

// The blocks allocated while armed and not yet freed: an open-addressed set in static storage, since
// it cannot allocate. The test is single-threaded.
constexpr size_t kSlots = size_t{1} << 16;
void* g_live[kSlots];
size_t g_liveCount = 0;

size_t slotOf(void* p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 48; }

void remember(void* p) {
    if (p == nullptr || !g_armed.load(std::memory_order_relaxed) || g_liveCount + 1 >= kSlots) return;
    size_t i = slotOf(p);
    while (g_live[i] != nullptr) i = (i + 1) & (kSlots - 1);
    g_live[i] = p;
    ++g_liveCount;
}

void forget(void* p) {
    if (p == nullptr || g_liveCount == 0) return;
    for (size_t i = slotOf(p); g_live[i] != nullptr; i = (i + 1) & (kSlots - 1)) {
        if (g_live[i] != p) continue;
        // Backward-shift deletion keeps every other entry reachable from its home slot.
        size_t hole = i;
        for (size_t j = (i + 1) & (kSlots - 1); g_live[j] != nullptr; j = (j + 1) & (kSlots - 1)) {
            const size_t home = slotOf(g_live[j]);
            if (((j - home) & (kSlots - 1)) >= ((j - hole) & (kSlots - 1))) {
                g_live[hole] = g_live[j];
                hole = j;
            }
        }
        g_live[hole] = nullptr;
        --g_liveCount;
        return;
    }
}

void clearLive() {
    std::fill(std::begin(g_live), std::end(g_live), nullptr);
    g_liveCount = 0;
}

} // namespace

extern "C" void* malloc(size_t n) {
    if (failNow()) return nullptr;
    void* p = __libc_malloc(n);
    remember(p);
    return p;
}
extern "C" void* calloc(size_t n, size_t size) {
    if (failNow()) return nullptr;
    void* p = __libc_calloc(n, size);
    remember(p);
    return p;
}
extern "C" void* realloc(void* old, size_t n) {
    if (failNow()) return nullptr;
    void* p = __libc_realloc(old, n);
    if (p != nullptr || n == 0) forget(old);
    remember(p);
    return p;
}
extern "C" void free(void* p) {
    forget(p);
    __libc_free(p);
}

namespace {

struct Outcome {
    int code = 0; // the library's error code or GetPicture's result
    std::vector<uint8_t> pixels;
};

Outcome throughLibrary(const std::string& path, const std::vector<uint8_t>* bytes) {
    Outcome o;
    VekError error;
    LibraryBitmap* converted = decodeToBgra(path.c_str(), bytes, error);
    o.code = error;
    g_armed = false; // the test's own copy is not the decode's
    o.pixels = pixelsOf(converted);
    g_armed = true;
    vekFreeBitmap(converted);
    return o;
}

Outcome throughPlugin(const std::string& path, const std::vector<uint8_t>* bytes) {
    Outcome o;
    HLOCAL header = nullptr, pixels = nullptr;
    o.code = bytes ? GetPicture(reinterpret_cast<const char*>(bytes->data()), static_cast<int32_t>(bytes->size()), 1,
                                &header, &pixels, nullptr, 0)
                   : GetPicture(path.c_str(), 0, 0, &header, &pixels, nullptr, 0);
    if (o.code == Success) {
        g_armed = false;
        const auto* p = static_cast<const uint8_t*>(LocalLock(pixels));
        o.pixels.assign(p, p + LocalSize(pixels));
        LocalUnlock(pixels);
        g_armed = true;
        LocalFree(header);
        LocalFree(pixels);
    }
    return o;
}

struct Case {
    const char* fixture;
    bool memory;
    bool plugin;
};

// Printed into the test's listed name: the parameters, not the record's bytes, which change from
// build to build.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.fixture << (c.memory ? " from memory" : " from its file")
        << (c.plugin ? " through GetPicture" : " through the library");
}

std::string describe(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.fixture;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name + (info.param.memory ? "_memory" : "_file") + (info.param.plugin ? "_GetPicture" : "_library");
}

class AllocationFailure : public testing::TestWithParam<Case> {};

TEST_P(AllocationFailure, EveryFailedAllocationEndsInACodeWithNothingLeaked) {
    const Case& c = GetParam();
    const std::string path = std::string(VEK_FIXTURE_DIR) + "/" + c.fixture;
    const std::vector<uint8_t> bytes = readBytes(path);
    ASSERT_FALSE(bytes.empty()) << path;
    auto run = [&] {
        return c.plugin ? throughPlugin(path, c.memory ? &bytes : nullptr)
                        : throughLibrary(path, c.memory ? &bytes : nullptr);
    };

    const Outcome undisturbed = run();
    ASSERT_EQ(undisturbed.code, 0);
    ASSERT_FALSE(undisturbed.pixels.empty());
    // The first pass also lets the runtime make what it makes once and keeps (the unwinder's
    // tables on a first exception through each library); the second is measured.
    for (bool measured : {false, true}) {
        long failures = 0;
        for (long n = 1;; ++n) {
            clearLive();
            g_calls = 0;
            g_failAt = n;
            g_armed = true;
            const Outcome o = run();
            g_armed = false;
            const bool reached = g_calls >= n;
            if (measured) {
                EXPECT_EQ(g_liveCount, 0u) << "allocation " << n << " failed: blocks left allocated";
                if (o.code == 0) {
                    EXPECT_TRUE(o.pixels == undisturbed.pixels)
                        << "allocation " << n << " failed, yet other pixels came out";
                }
            }
            failures += o.code != 0;
            if (!reached) break; // every allocation of the decode has been made to fail once
            ASSERT_LT(n, 100000);
        }
        EXPECT_GT(failures, 0) << "no allocation failure was seen: the decode allocated nothing?";
    }
}

const char* const kFixtures[] = {"rgba8.png",        "palette8.png",    "progressive.jpg", "cmyk.jpg",
                                 "transparent.gif",  "code-size-9.gif", "rle8.bmp",        "rgb32-alpha.bmp",
                                 "headerless-8.dib", "rle32.tga",       "rgb8-rle.psd",    "cmyk.psd",
                                 "bc7.dds",          "dxt5.dds"};

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (const char* f : kFixtures)
        for (bool memory : {false, true})
            for (bool plugin : {false, true}) cases.push_back({f, memory, plugin});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, AllocationFailure, testing::ValuesIn(allCases()), describe);

} // namespace
