#include "server/data_reloader.h"

#include <chrono>
#include <cstdio>

#include "core/records/data_set_check.h"
#include "core/util/daily_log.h"

CServedData::CServedData(std::shared_ptr<const CSearchData> initial) : m_data(std::move(initial)) {}

CServedData::~CServedData() = default;

std::shared_ptr<const CSearchData> CServedData::Get() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_data;
}

void CServedData::Set(std::shared_ptr<const CSearchData> data) {
  std::shared_ptr<const CSearchData> previous;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    previous = std::move(m_data);
    m_data = std::move(data);
  }
  // `previous` is released here, outside the lock; its memory goes when its last
  // connection ends.
}

CDataReloader::CDataReloader(tDataSetPaths paths, CServedData* served, int checkSeconds,
                             std::function<void(bool, int, double)> onReloaded)
    : m_paths(std::move(paths)), m_served(served), m_onReloaded(std::move(onReloaded)) {
  if (checkSeconds > 0) m_watcher = std::thread([this, checkSeconds] { Watch(checkSeconds); });
}

CDataReloader::~CDataReloader() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stopping = true;
    m_stop.notify_all();
  }
  if (m_watcher.joinable()) m_watcher.join();
  std::unique_lock<std::mutex> lock(m_lock);
  m_pending = false;
  m_idle.wait(lock, [this] { return !m_running; });
  lock.unlock();
  if (m_thread.joinable()) m_thread.join();
}

void CDataReloader::Request() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_running) {
    m_pending = true;
    return;
  }
  if (m_thread.joinable()) m_thread.join();  // the previous reload has ended
  m_running = true;
  try {
    m_thread = std::thread([this] { ReloadThread(); });
  } catch (const std::exception& failure) {
    m_running = false;
    ++m_failed;
    WriteLog(std::string("Cannot start the reload: ") + failure.what());
  }
}

void CDataReloader::WaitIdle(int* succeeded, int* failed) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_idle.wait(lock, [this] { return !m_running; });
  *succeeded = m_succeeded;
  *failed = m_failed;
}

void CDataReloader::Watch(int checkSeconds) {
  int64_t requested = 0;  // the last generation a reload was started for
  std::unique_lock<std::mutex> lock(m_lock);
  while (
      !m_stop.wait_for(lock, std::chrono::seconds(checkSeconds), [this] { return m_stopping; })) {
    lock.unlock();
    const int64_t committed = ReadDataSetGeneration(m_paths.base);
    const std::shared_ptr<const CSearchData> served = m_served->Get();
    const bool newer =
        committed > 0 && served && committed != served->generation() && committed != requested;
    if (newer) {
      requested = committed;
      Request();
    }
    lock.lock();
  }
}

void CDataReloader::ReloadThread() {
  for (;;) {
    const bool loaded = ReloadOnce();
    std::lock_guard<std::mutex> lock(m_lock);
    ++(loaded ? m_succeeded : m_failed);
    if (!m_pending) {
      m_running = false;
      m_idle.notify_all();
      return;
    }
    m_pending = false;
  }
}

bool CDataReloader::ReloadOnce() {
  const auto started = std::chrono::steady_clock::now();
  std::shared_ptr<const CSearchData> data;
  try {
    data = LoadSearchData(m_paths);
  } catch (const std::bad_alloc&) {
    data.reset();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char line[512];
  if (!data) {
    std::snprintf(line, sizeof line,
                  "Reload of data set %.200s failed after %.2f s; still serving the previous one",
                  m_paths.base.c_str(), seconds);
  } else {
    m_served->Set(data);
    std::snprintf(line, sizeof line,
                  "Reloaded data set %.200s: generation %lld, %d records in %.2f s",
                  m_paths.base.c_str(), static_cast<long long>(data->generation()),
                  data->store().GetLiveRecordCount(), seconds);
  }
  std::printf("%s\n", line);
  std::fflush(stdout);
  WriteLog(line);
  if (m_onReloaded)
    m_onReloaded(data != nullptr, data ? data->store().GetLiveRecordCount() : 0, seconds);
  return data != nullptr;
}
