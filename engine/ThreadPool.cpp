#include "engine/ThreadPool.h"

#include <new>

CThreadPool::~CThreadPool() { Destroy(); }

bool CThreadPool::Create(unsigned count, const std::uint32_t* params) {
  if (m_Queue || count > kMaxThreads) return false;
  try {
    m_Queue = std::make_unique<std::deque<CWorkItem*>>();
    m_WorkSemaphore = std::make_unique<platform::Semaphore>(0, 0x7FFFFFFF);
    m_StopEvent = std::make_unique<platform::Event>(true, false);
    m_Threads = std::make_unique<platform::Thread[]>(count);
  } catch (const std::bad_alloc&) {
    m_Threads.reset();
    m_StopEvent.reset();
    m_WorkSemaphore.reset();
    m_Queue.reset();
    return false;
  }
  m_ThreadCount = count;
  for (unsigned i = 0; i < count; ++i) {
    const std::uint32_t param = params ? params[i] : 0;
    bool started = false;
    try {
      started = m_Threads[i].Start([this, param] { WorkerProc(param); }, kWorkerStackSize);
    } catch (const std::bad_alloc&) {
    }
    if (!started) {
      m_ThreadCount = i;  // stop and join only those already running
      Destroy();
      return false;
    }
  }
  return true;
}

bool CThreadPool::Post(CWorkItem* item) {
  // A null item would be handed to Abandon by Destroy.
  if (!m_Queue || !item) return false;
  {
    std::lock_guard lock(m_QueueLock);
    m_Queue->push_back(item);
  }
  return m_WorkSemaphore->Release(1);
}

CWorkItem* CThreadPool::Pop() {
  std::lock_guard lock(m_QueueLock);
  if (!m_Queue || m_Queue->empty()) return nullptr;
  CWorkItem* item = m_Queue->front();
  m_Queue->pop_front();
  return item;
}

std::size_t CThreadPool::Queued() {
  std::lock_guard lock(m_QueueLock);
  return m_Queue ? m_Queue->size() : 0;
}

void CThreadPool::WorkerProc(std::uint32_t param) {
  // Ordinary users may not raise a thread's priority; the worker runs regardless.
  platform::RaiseCurrentThreadPriority(2);
  for (;;) {
    // The stop event comes first, so a stop wins over queued work.
    const int signalled = platform::WaitForAny({m_StopEvent.get(), m_WorkSemaphore.get()});
    if (signalled != 1) return;
    if (CWorkItem* item = Pop()) item->Run(param);
  }
}

void CThreadPool::Destroy() {
  if (!m_StopEvent) return;
  m_StopEvent->Set();
  for (std::uint32_t i = 0; i < m_ThreadCount; ++i) m_Threads[i].Join();
  // Every worker has ended: what is still queued is never run.
  while (CWorkItem* item = Pop()) item->Abandon();
  m_Queue.reset();
  m_WorkSemaphore.reset();
  m_StopEvent.reset();
  m_Threads.reset();
  m_ThreadCount = 0;
}
