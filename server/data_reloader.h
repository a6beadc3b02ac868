// Live reload of the served data set. CServedData holds the data set that new connections
// get; a connection keeps the one it started with, so a set that is replaced is freed when the
// last connection using it ends. CDataReloader loads the set again from the configured files
// on a thread of its own while queries go on, and publishes it only when it loaded whole and
// matched its manifest; a reload that fails leaves the served set as it was. Each reload
// prints and logs one line with the generation, the record count and the time it took.
//
// Threads: CServedData's Get and Set may be called from any thread (one mutex guards the
// pointer; the set itself is read-only). CDataReloader loads on a thread of its own, and its
// `onReloaded` callback runs on that reload thread, not on the caller's, so it must be
// thread-safe and must outlive the reloader. Request may be called from any thread; the
// served data and the callback are lent and must outlive the reloader, whose destructor
// waits for a reload in progress.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/search_data.h"

class CServedData {
 public:
  explicit CServedData(std::shared_ptr<const CSearchData> initial);
  virtual ~CServedData();
  std::shared_ptr<const CSearchData> Get() const;
  void Set(std::shared_ptr<const CSearchData> data);

 private:
  mutable std::mutex m_lock;  // guards m_data
  std::shared_ptr<const CSearchData> m_data;
};

class CDataReloader {
 public:
  // With `checkSeconds` > 0, a watcher looks at the generation in the data set's manifest
  // that often and reloads when it differs from the served one (once per new generation).
  // `onReloaded` (optional) hears the end of each reload: whether it loaded, the record count
  // of the new set and the seconds it took.
  CDataReloader(tDataSetPaths paths, CServedData* served, int checkSeconds = 0,
                std::function<void(bool, int, double)> onReloaded = nullptr);
  virtual ~CDataReloader();  // waits for a reload in progress
  CDataReloader(const CDataReloader&) = delete;
  CDataReloader& operator=(const CDataReloader&) = delete;

  // Starts a reload unless one is running; a request during a reload runs one more after it,
  // so the files as they are after the last request are the ones loaded.
  void Request();

  // Waits until no reload is running or pending. Returns the number of reloads that
  // succeeded and failed so far.
  void WaitIdle(int* succeeded, int* failed);

 private:
  void ReloadThread();  // the body of the reload thread: reloads while requests are pending
  bool ReloadOnce();
  void Watch(int checkSeconds);

  tDataSetPaths m_paths;
  CServedData* m_served;
  std::function<void(bool, int, double)> m_onReloaded;
  std::mutex m_lock;  // guards the members below
  std::condition_variable m_idle;
  bool m_running = false;
  bool m_pending = false;
  int m_succeeded = 0;
  int m_failed = 0;
  bool m_stopping = false;
  std::condition_variable m_stop;
  std::thread m_thread;
  std::thread m_watcher;
};
