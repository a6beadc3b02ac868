#include "core/util/parallel_tasks.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>

bool RunTasks(int threads, const std::vector<std::function<bool()>>& tasks) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&]() {
    for (;;) {
      if (failed.load()) return;
      const size_t task = next.fetch_add(1);
      if (task >= tasks.size()) return;
      if (!tasks[task]()) failed.store(true);
    }
  };
  const size_t helpers =
      threads > 1 && !tasks.empty() ? std::min(static_cast<size_t>(threads), tasks.size()) - 1 : 0;
  std::vector<std::thread> started;
  started.reserve(helpers);
  try {
    for (size_t i = 0; i < helpers; ++i) started.emplace_back(work);
  } catch (const std::system_error&) {
    // No thread to be had: the threads started so far and this one do all the tasks.
  }
  work();
  for (std::thread& thread : started) thread.join();
  return !failed.load() && next.load() >= tasks.size();
}
