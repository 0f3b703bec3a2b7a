#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane::server {

// A fixed set of threads running posted tasks in the order they were posted.
// stop() runs what is already queued, then joins the threads; tasks posted
// after it are dropped.
class TaskPool {
  public:
    explicit TaskPool(int threads);
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    // False once stop() has begun: the task will not run.
    bool post(std::function<void()> task);
    void stop();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace tolvane::server
