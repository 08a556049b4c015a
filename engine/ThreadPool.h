// The worker pool of a production pass: Create starts the workers, Post queues
// items for them, Destroy stops and joins them and abandons what is still queued.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/Sync.h"

// A unit of work for the pool. The pool never deletes an item: Run or Abandon
// ends its life, so nobody deletes through this base.
class CWorkItem {
 public:
  // Does the work on a worker thread, with that worker's parameter.
  virtual void Run(std::uint32_t param) = 0;
  // Called instead of Run for an item still queued when the pool is destroyed.
  virtual void Abandon() = 0;

 protected:
  CWorkItem() = default;
  ~CWorkItem() = default;
};

class CThreadPool {
 public:
  // Most workers one pool takes (a pass needs one per port, at most 24).
  static constexpr unsigned kMaxThreads = 64;
  static constexpr std::size_t kWorkerStackSize = 3145728;

  CThreadPool() = default;
  // Destroys a pool left created, so no worker outlives the object.
  virtual ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Starts `count` workers; worker i passes params[i] (0 when params is null) to
  // every Run. False, with nothing left built, on the first failure, for more
  // than kMaxThreads workers, or when the pool is already created.
  bool Create(unsigned count, const std::uint32_t* params);
  // Queues a non-null item at the back. False when the queue cannot be
  // signalled; the item then stays queued and Destroy abandons it.
  bool Post(CWorkItem* item);
  // Takes the front item, or nullptr when the queue is empty.
  CWorkItem* Pop();
  // Items posted and not yet taken by a worker.
  std::size_t Queued();
  // Stops and joins the workers, abandons the queued items in posting order and
  // releases everything; Create may follow.
  void Destroy();
  // Without a successful Create: Post returns false, Pop nullptr, Destroy returns at once.

 private:
  friend struct ThreadPoolProbe;  // tests reach the stop event and the owned parts

  void WorkerProc(std::uint32_t param);

  std::unique_ptr<platform::Thread[]> m_Threads;
  std::uint32_t m_ThreadCount = 0;  // workers started
  std::unique_ptr<platform::Event> m_StopEvent;
  std::unique_ptr<platform::Semaphore> m_WorkSemaphore;  // one count per queued item
  std::mutex m_QueueLock;                                 // guards m_Queue
  std::unique_ptr<std::deque<CWorkItem*>> m_Queue;
};
