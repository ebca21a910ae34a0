#include "thread_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_made(0), g_gone(0);

struct counted_t {
  int value = 0;
  std::vector<int> heap = std::vector<int>(1000, 7);
  counted_t() { g_made++; }
  ~counted_t() {
    // Freed storage would show here (and under the sanitizers).
    EXPECT_EQ(heap.size(), 1000u);
    EXPECT_EQ(heap[999], 7);
    g_gone++;
  }
};
struct other_site_t {};

// Each thread has its own object, kept between calls, apart from the same
// type's at another site, and destroyed (intact) when the thread ends; many
// short threads at once are where a run-time that frees its per-thread
// storage first would be caught.
TEST(ThreadObject, OnePerThreadAndSiteDestroyedAtThreadEnd) {
  const int made = g_made, gone = g_gone;
  std::vector<std::thread> threads;
  std::atomic<int> wrong(0);
  for (int t = 0; t < 64; t++) {
    threads.emplace_back([t, &wrong] {
      counted_t& a = thread_object<counted_t>();
      counted_t& b = thread_object<counted_t, other_site_t>();
      if (&a == &b || a.value != 0) wrong++;
      a.value = t;
      for (int i = 0; i < 100; i++)
        if (&thread_object<counted_t>() != &a || a.value != t) wrong++;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(g_made - made, 128);
  EXPECT_EQ(g_gone - gone, 128);
}

}  // namespace
