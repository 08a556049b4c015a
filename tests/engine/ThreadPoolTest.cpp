#include "engine/ThreadPool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <latch>
#include <set>
#include <thread>
#include <vector>

// Friend of CThreadPool: the stop event and the owned parts.
struct ThreadPoolProbe {
  static platform::Event& Stop(CThreadPool& pool) { return *pool.m_StopEvent; }
  static std::uint32_t Workers(const CThreadPool& pool) { return pool.m_ThreadCount; }
  static std::size_t StackAskedFor(const CThreadPool& pool, std::uint32_t worker) {
    return pool.m_Threads[worker].StackSize();
  }
  static bool Released(const CThreadPool& pool) {
    return !pool.m_Threads && pool.m_ThreadCount == 0 && !pool.m_StopEvent && !pool.m_WorkSemaphore &&
           !pool.m_Queue;
  }
};

namespace {

// Records how it ended; `during` runs inside Run, e.g. to hold the worker.
struct RecordingItem final : CWorkItem {
  std::atomic<int> runs{0};
  std::atomic<int> abandons{0};
  std::uint32_t param = 0xFFFFFFFFu;
  std::thread::id thread;
  std::size_t stack = 0;
  std::function<void()> during;
  int id = 0;
  std::vector<int>* abandonLog = nullptr;

  void Run(std::uint32_t p) override {
    param = p;
    thread = std::this_thread::get_id();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &stack);
      pthread_attr_destroy(&attr);
    }
    ++runs;
    if (during) during();
  }
  void Abandon() override {
    ++abandons;
    if (abandonLog) abandonLog->push_back(id);
  }
};

TEST(ThreadPool, RunsEachItemOnceOnItsOwnWorkerWithThatWorkersParam) {
  const std::uint32_t params[] = {7, 8, 9};
  struct Row {
    const std::uint32_t* params;
    std::multiset<std::uint32_t> expected;
  };
  const Row rows[] = {{nullptr, {0, 0, 0}}, {params, {7, 8, 9}}};
  CThreadPool pool;  // the second row creates it again after Destroy
  for (const Row& row : rows) {
    std::latch allRunning(3);  // each item holds its worker until all three run
    RecordingItem items[3];
    for (RecordingItem& item : items) item.during = [&] { allRunning.arrive_and_wait(); };
    ASSERT_TRUE(pool.Create(3, row.params));
    for (std::uint32_t worker = 0; worker < 3; ++worker)
      EXPECT_EQ(ThreadPoolProbe::StackAskedFor(pool, worker), 3145728u) << worker;
    for (RecordingItem& item : items) ASSERT_TRUE(pool.Post(&item));
    allRunning.wait();
    pool.Destroy();

    std::multiset<std::uint32_t> paramsSeen;
    std::set<std::thread::id> threads;
    for (RecordingItem& item : items) {
      EXPECT_EQ(item.runs, 1);
      EXPECT_EQ(item.abandons, 0);
      // At least that: the C library may hand a worker a larger stack it kept
      // from a thread that ended before.
      EXPECT_GE(item.stack, 3145728u);
      paramsSeen.insert(item.param);
      threads.insert(item.thread);
    }
    EXPECT_EQ(paramsSeen, row.expected);
    EXPECT_EQ(threads.size(), 3u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  }
}

TEST(ThreadPool, StopWinsOverQueuedItemsWhichAreAbandonedInPostingOrder) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Create(2, nullptr));
  std::latch bothRunning(2);
  RecordingItem holders[2];  // each holds a worker until Destroy sets the stop event
  for (RecordingItem& holder : holders) {
    holder.during = [&] {
      bothRunning.count_down();
      ThreadPoolProbe::Stop(pool).Wait();
    };
    ASSERT_TRUE(pool.Post(&holder));
  }
  bothRunning.wait();
  std::vector<int> abandoned;
  RecordingItem queued[3];
  for (int i = 0; i < 3; ++i) {
    queued[i].id = i + 1;
    queued[i].abandonLog = &abandoned;
    ASSERT_TRUE(pool.Post(&queued[i]));
  }
  // Both workers come back to their wait with the stop set and work queued.
  pool.Destroy();

  for (RecordingItem& holder : holders) EXPECT_EQ(holder.runs, 1);
  for (RecordingItem& item : queued) EXPECT_EQ(item.runs, 0);
  EXPECT_EQ(abandoned, (std::vector<int>{1, 2, 3}));
}

TEST(ThreadPool, FailedThirdOfFiveThreadStartsUndoesCreateAndThePoolStaysUsable) {
  CThreadPool pool;
  platform::FailThreadStartsAfter(2);
  EXPECT_FALSE(pool.Create(5, nullptr));
  platform::FailThreadStartsAfter(-1);
  EXPECT_TRUE(ThreadPoolProbe::Released(pool));  // the two started workers were joined

  RecordingItem item;
  std::latch ran(1);
  item.during = [&] { ran.count_down(); };
  EXPECT_FALSE(pool.Post(&item));
  ASSERT_TRUE(pool.Create(2, nullptr));
  ASSERT_TRUE(pool.Post(&item));
  ran.wait();
  pool.Destroy();
  EXPECT_EQ(item.runs, 1);
}

TEST(ThreadPool, PoolWithoutWorkersCreatesAndDestroys) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Create(0, nullptr));
  pool.Destroy();
  EXPECT_TRUE(ThreadPoolProbe::Released(pool));
}

TEST(ThreadPool, DestructorDestroysAPoolLeftCreated) {
  RecordingItem item;
  {
    CThreadPool pool;
    ASSERT_TRUE(pool.Create(0, nullptr));
    ASSERT_TRUE(pool.Post(&item));
  }
  EXPECT_EQ(item.abandons, 1);
}

TEST(ThreadPool, RefusesCallsOutsideItsContract) {
  CThreadPool pool;
  RecordingItem item;
  EXPECT_FALSE(pool.Post(&item));  // not created
  EXPECT_EQ(pool.Pop(), nullptr);
  pool.Destroy();
  EXPECT_FALSE(pool.Create(65, nullptr));
  EXPECT_TRUE(ThreadPoolProbe::Released(pool));

  ASSERT_TRUE(pool.Create(64, nullptr));
  EXPECT_FALSE(pool.Create(1, nullptr));  // already created: left as it is
  EXPECT_EQ(ThreadPoolProbe::Workers(pool), 64u);
  EXPECT_FALSE(pool.Post(nullptr));
  pool.Destroy();
  EXPECT_EQ(item.runs + item.abandons, 0);
}

}  // namespace

namespace {

// Queued counts what no worker has taken: with no worker an item stays queued.
TEST(ThreadPool, QueuedCountsItemsNoWorkerHasTaken) {
  CThreadPool pool;
  EXPECT_EQ(pool.Queued(), 0u);
  ASSERT_TRUE(pool.Create(0, nullptr));
  RecordingItem item;
  ASSERT_TRUE(pool.Post(&item));
  EXPECT_EQ(pool.Queued(), 1u);
  pool.Destroy();
  EXPECT_EQ(pool.Queued(), 0u);
  EXPECT_EQ(item.abandons, 1);
}

}  // namespace
