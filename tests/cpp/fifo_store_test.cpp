#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/fifo_store.hpp"

namespace {

using tarnwell::fifo_window_buffer;
using tarnwell::reset_all_fifos;
using tarnwell::reset_fifo;
using V = std::vector<double>;

class FifoStore : public testing::Test {
protected:
    void SetUp() override { reset_all_fifos(); }
    void TearDown() override { reset_all_fifos(); }
};

TEST_F(FifoStore, SlidesOverTheNewestSamples) {
    EXPECT_EQ(fifo_window_buffer({1, 2}, 3, "a"), (V{1, 2}));
    EXPECT_EQ(fifo_window_buffer({3, 4}, 3, "a"), (V{2, 3, 4}));
    EXPECT_EQ(fifo_window_buffer({}, 0, "a"), (V{2, 3, 4}));  // the store kept the window
    EXPECT_EQ(fifo_window_buffer({5, 6, 7, 8, 9}, 3, "a"), (V{7, 8, 9}));
}

TEST_F(FifoStore, WindowSizeOfEachCall) {
    EXPECT_EQ(fifo_window_buffer({1, 2, 3}, 0, "w"), (V{1, 2, 3}));  // 0: no limit
    EXPECT_EQ(fifo_window_buffer({4}, 0, "w"), (V{1, 2, 3, 4}));
    EXPECT_EQ(fifo_window_buffer({5}, 100, "w"), (V{1, 2, 3, 4, 5}));  // larger: nothing removed
    EXPECT_EQ(fifo_window_buffer({}, 2, "w"), (V{4, 5}));  // an empty chunk still trims, for good
    EXPECT_EQ(fifo_window_buffer({6}, 0, "w"), (V{4, 5, 6}));
    EXPECT_EQ(fifo_window_buffer({}, 1, "w"), (V{6}));
}

TEST_F(FifoStore, IdsAreSeparateAndExact) {
    EXPECT_EQ(fifo_window_buffer({}, 5, "new"), V{});  // creates an empty entry
    fifo_window_buffer({1}, 0, "a");
    fifo_window_buffer({2}, 0, "A");
    fifo_window_buffer({3}, 0, "");
    fifo_window_buffer({4}, 0, std::string("a\0b", 3));
    EXPECT_EQ(fifo_window_buffer({}, 0, "a"), V{1});
    EXPECT_EQ(fifo_window_buffer({}, 0, "A"), V{2});
    EXPECT_EQ(fifo_window_buffer({}, 0, ""), V{3});
    EXPECT_EQ(fifo_window_buffer({}, 0, std::string("a\0b", 3)), V{4});
    EXPECT_EQ(fifo_window_buffer({}, 0, "new"), V{});
}

TEST_F(FifoStore, ResultIsACopy) {
    V first = fifo_window_buffer({1, 2}, 0, "c");
    first[0] = 99;
    const V second = fifo_window_buffer({3}, 2, "c");
    EXPECT_EQ(first, (V{99, 2}));
    EXPECT_EQ(second, (V{2, 3}));
}

TEST_F(FifoStore, Reset) {
    reset_fifo("never used");
    reset_all_fifos();
    fifo_window_buffer({1, 2, 3}, 0, "r");
    fifo_window_buffer({7}, 0, "kept");
    reset_fifo("r");
    EXPECT_EQ(fifo_window_buffer({4, 5, 6}, 2, "r"), (V{5, 6}));
    EXPECT_EQ(fifo_window_buffer({}, 0, "kept"), V{7});
    reset_all_fifos();
    EXPECT_EQ(fifo_window_buffer({}, 0, "kept"), V{});
}

constexpr int kThreads = 8;
constexpr int kCalls = 10000;

double sample(int thread, int k) {
    return thread * 1e6 + k;
}

// Every thread appends its own increasing samples to one shared FIFO. Each window must end
// with the caller's own sample; the sample before it names the call's predecessor in the
// store's one global order. Those links must form a single chain through every sample (none
// lost, none twice), and every window must be the newest samples of that chain, in order.
TEST_F(FifoStore, ConcurrentCallsOnOneId) {
    constexpr unsigned long kWindow = 64;
    struct Seen {
        double first, before_last, last;
        std::size_t size;
    };
    std::vector<std::vector<Seen>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &seen] {
            seen[t].reserve(kCalls);
            for (int k = 0; k < kCalls; ++k) {
                const V got = fifo_window_buffer({sample(t, k)}, kWindow, "shared");
                const double before_last = got.size() > 1 ? got[got.size() - 2] : -1.0;
                seen[t].push_back({got.front(), before_last, got.back(), got.size()});
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    std::map<double, double> next;  // predecessor -> sample
    std::map<double, const Seen *> by_sample;
    double start = -1.0;
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kCalls; ++k) {
            const Seen &s = seen[t][k];
            ASSERT_EQ(s.last, sample(t, k));
            by_sample[s.last] = &s;
            if (s.before_last < 0) {
                ASSERT_EQ(start, -1.0) << "two calls saw an empty store";
                start = s.last;
            } else {
                ASSERT_TRUE(next.emplace(s.before_last, s.last).second) << "sample followed twice";
            }
        }
    }
    std::vector<double> chain{start};
    for (auto it = next.find(start); it != next.end(); it = next.find(it->second)) {
        chain.push_back(it->second);
    }
    ASSERT_EQ(chain.size(), static_cast<std::size_t>(kThreads * kCalls));
    for (std::size_t pos = 0; pos < chain.size(); ++pos) {
        const Seen &s = *by_sample.at(chain[pos]);
        const std::size_t size = std::min<std::size_t>(kWindow, pos + 1);
        ASSERT_EQ(s.size, size);
        ASSERT_EQ(s.first, chain[pos + 1 - size]);
    }
    EXPECT_EQ(fifo_window_buffer({}, 0, "shared"),
              V(chain.end() - static_cast<std::ptrdiff_t>(kWindow), chain.end()));
}

// Separate ids: each thread's window is exactly the newest samples of its own stream.
TEST_F(FifoStore, ConcurrentCallsOnSeparateIds) {
    constexpr unsigned long kWindow = 16;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const std::string id = "thread-" + std::to_string(t);
            for (int k = 0; k < kCalls; ++k) {
                const V got = fifo_window_buffer({sample(t, k)}, kWindow, id);
                V want;
                for (int j = std::max(0, k + 1 - static_cast<int>(kWindow)); j <= k; ++j) {
                    want.push_back(sample(t, j));
                }
                failures[t] += got == want ? 0 : 1;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
}

}  // namespace
