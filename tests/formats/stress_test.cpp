// Eight threads decode every fixture and a picture large enough for the library's kept buffers, from
// files and from memory, and hand each bitmap to another thread, which checks and frees it. Built
// with ThreadSanitizer by the tsan preset; natively it checks the pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>
#include <vector>

#include "imagelib/vek.h"
#include "tests/formats/fixtures.h"
#include "tests/library_decode.h"
#include "tests/scoped_env.h"

namespace {

struct Picture {
    std::string path;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> expected; // BGRA from a single-threaded decode
};

struct Handoff {
    LibraryBitmap* bitmap;
    size_t picture;
};

// A queue between the threads: what one decodes another checks and frees.
class Queue {
public:
    void push(Handoff h) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(h);
        }
        ready_.notify_one();
    }
    // wait: until an item comes or every producer is done; otherwise only what is there now.
    bool pop(Handoff& h, bool wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wait) ready_.wait(lock, [&] { return !items_.empty() || producers_ == 0; });
        if (items_.empty()) return false;
        h = items_.front();
        items_.pop_front();
        return true;
    }
    void producerDone() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --producers_;
        }
        ready_.notify_all();
    }
    explicit Queue(int producers) : producers_(producers) {}

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Handoff> items_;
    int producers_;
};

LibraryBitmap* decode(const Picture& p, bool fromMemory) {
    VekError error;
    return decodeToBgra(p.path.c_str(), fromMemory ? &p.bytes : nullptr, error);
}

// A 24-bit BMP, by default of 1000 x 700: its 2.8 MB of BGRA pass through the library's kept buffers.
std::vector<uint8_t> largeBmp(uint32_t w = 1000, uint32_t h = 700) {
    const uint32_t stride = (w * 3 + 3) / 4 * 4, pixels = stride * h;
    std::vector<uint8_t> b(54 + pixels);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<uint32_t>(b.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, w);
    put32(22, h);
    b[26] = 1;
    b[28] = 24;
    for (uint32_t i = 0; i < pixels; ++i) b[54 + i] = static_cast<uint8_t>(i * 7 + i / stride);
    return b;
}

TEST(Stress, EightThreadsDecodeAndFreeEachOthersBitmaps) {
    std::vector<Picture> pictures;
    for (const Fixture& f : loadFixtures())
        if (!f.refused()) pictures.push_back({f.path(), readBytes(f.path()), {}});
    Picture large;
    // Named for this process: two runs on one machine must not remove each other's file.
    large.path = testing::TempDir() + "vek-stress-large-" + std::to_string(getpid()) + ".bmp";
    large.bytes = largeBmp();
    if (FILE* out = std::fopen(large.path.c_str(), "wb")) {
        std::fwrite(large.bytes.data(), 1, large.bytes.size(), out);
        std::fclose(out);
    }
    pictures.push_back(large);
    for (Picture& p : pictures) {
        LibraryBitmap* b = decode(p, true);
        p.expected = pixelsOf(b);
        ASSERT_FALSE(p.expected.empty()) << p.path;
        vekFreeBitmap(b);
    }

    constexpr int kThreads = 8;
    Queue queue(kThreads);
    std::vector<int> wrong(kThreads, 0), failed(kThreads, 0), freed(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Decode a share of the pictures, every fourth of them the large one, freeing what others made.
            for (size_t k = 0; k < pictures.size(); ++k) {
                const size_t i =
                    k % 4 == 0 ? pictures.size() - 1 : (k * 7 + static_cast<size_t>(t) * 13) % pictures.size();
                LibraryBitmap* b = decode(pictures[i], (k + static_cast<size_t>(t)) % 2 == 0);
                if (b == nullptr)
                    ++failed[t];
                else
                    queue.push({b, i});
                Handoff h;
                if (k % 2 == 1 && queue.pop(h, false)) {
                    wrong[t] += pixelsOf(h.bitmap) != pictures[h.picture].expected;
                    freed[t] += vekFreeBitmap(h.bitmap) == VEK_OK;
                }
            }
            queue.producerDone();
            Handoff h;
            while (queue.pop(h, true)) {
                wrong[t] += pixelsOf(h.bitmap) != pictures[h.picture].expected;
                freed[t] += vekFreeBitmap(h.bitmap) == VEK_OK;
            }
        });
    }
    for (auto& th : threads) th.join();
    int totalFreed = 0;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
        EXPECT_EQ(failed[t], 0) << "thread " << t;
        totalFreed += freed[t];
    }
    EXPECT_EQ(totalFreed, kThreads * static_cast<int>(pictures.size()));
    std::remove(large.path.c_str());
}

// Every fixture, from both row origins, decoded on the calling thread alone and spread over two,
// three, four and eight threads, however small: the same verdict and the same bytes.
TEST(Stress, BandsOnWorkersGiveTheCallingThreadsPixels) {
    std::vector<Picture> pictures;
    for (const Fixture& f : loadFixtures()) pictures.push_back({f.path(), readBytes(f.path()), {}});
    auto decodeAll = [&](const char* threads) {
        const ScopedEnv setting("VEK_THREADS", threads);
        std::vector<std::pair<VekError, std::vector<uint8_t>>> all;
        for (const Picture& p : pictures)
            for (uint16_t origin : {VEK_ORIGIN_TOP_LEFT, VEK_ORIGIN_BOTTOM_LEFT}) {
                VekError error;
                LibraryBitmap* b = decodeToBgra(nullptr, &p.bytes, error, origin);
                all.emplace_back(error, pixelsOf(b));
                vekFreeBitmap(b);
            }
        return all;
    };
    const auto alone = decodeAll("1");
    for (const char* threads : {"2", "3", "4", "8"}) {
        const auto spread = decodeAll(threads);
        for (size_t i = 0; i < alone.size(); ++i) {
            EXPECT_EQ(alone[i].first, spread[i].first) << pictures[i / 2].path << ", " << threads << " threads";
            EXPECT_TRUE(alone[i].second == spread[i].second)
                << pictures[i / 2].path << (i % 2 ? " bottom-up" : "") << ", " << threads << " threads";
        }
    }
}

// Eight host threads decoding large pictures at once: the library adds no more threads than the
// machine has cores beside the one each caller is on.
TEST(Stress, WorkersNeverOutnumberTheCores) {
    auto threadCount = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
        return 0;
    };
    const Picture large{"", largeBmp(2048, 2048), {}}; // four megapixels: spread over threads
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::thread monitor([&] {
        while (!done) {
            most = std::max(most.load(), threadCount());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Counted with the monitor running (and a sanitizer's own thread, which starts with the first).
    const int before = threadCount();
    std::vector<std::thread> callers;
    std::atomic<int> decoded{0};
    for (int t = 0; t < 8; ++t)
        callers.emplace_back([&] {
            for (int k = 0; k < 4; ++k) {
                LibraryBitmap* b = decode(large, true);
                decoded += b != nullptr;
                vekFreeBitmap(b);
            }
        });
    for (auto& c : callers) c.join();
    done = true;
    monitor.join();
    EXPECT_EQ(32, decoded.load());
    // A joined thread may be counted a moment longer, until the system has reaped it: one more.
    EXPECT_LE(most.load(), before + 8 + (cores - 1) + 1) << "before: " << before << ", cores: " << cores;
    EXPECT_GT(most.load(), before) << "the monitor never saw the callers";
}

} // namespace
