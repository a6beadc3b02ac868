// RunTasks: a handful of independent jobs (the files of a save, say) spread over a few
// threads, without a pool that outlives them.
#pragma once

#include <functional>
#include <vector>

// Runs tasks[0], tasks[1], ... each at most once on up to `threads` threads, the calling
// thread among them, handing them out in order; returns when every started task has ended.
// A task that returns false stops the hand-out: the tasks not yet started are not run.
// Returns whether every task ran and returned true. With one thread (or fewer) the tasks run
// one after the other on the calling thread.
bool RunTasks(int threads, const std::vector<std::function<bool()>>& tasks);
