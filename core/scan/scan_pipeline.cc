#include "core/scan/scan_pipeline.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/scan/db_source.h"
#include "core/scan/record_preparation.h"

namespace {

using Clock = std::chrono::steady_clock;

// Records per batch: large enough that the hand-over costs little, small enough that the
// workers start at once and the batches in flight take little memory.
constexpr int kBatchRecords = 64;
constexpr auto kTerminalInterval = std::chrono::milliseconds(250);
constexpr auto kLineInterval = std::chrono::seconds(10);

// "1h02m03s", "4m05s", "6s".
std::string Duration(double seconds) {
  int64_t whole = static_cast<int64_t>(seconds + 0.5);
  char text[48];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lldh%02lldm%02llds", static_cast<long long>(whole / 3600),
                  static_cast<long long>(whole / 60 % 60), static_cast<long long>(whole % 60));
  } else if (whole >= 60) {
    std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(whole / 60),
                  static_cast<long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(whole));
  }
  return text;
}

// Called once per appended record, in order.
class CProgress {
 public:
  // `first`: the store's records before the walk (a continued data set's); the rate and
  // the remaining time count only the rows of this walk.
  CProgress(int expectedTotal, bool terminal, int first)
      : m_total(expectedTotal),
        m_terminal(terminal),
        m_first(first),
        m_start(Clock::now()),
        m_last(m_start) {}

  ~CProgress() {
    if (m_terminal && m_printedInPlace) {
      Print(Clock::now());
      std::printf("\n");
    }
  }

  void Record(int records) {
    m_records = records - m_first;
    if (records % 100 != 0) return;
    if (!m_terminal) std::printf("已完成%d条结果!\n", records);
    Clock::time_point now = Clock::now();
    if (now - m_last <
        (m_terminal ? Clock::duration(kTerminalInterval) : Clock::duration(kLineInterval))) {
      return;
    }
    m_last = now;
    Print(now);
  }

 private:
  void Print(Clock::time_point now) {
    double seconds = std::chrono::duration<double>(now - m_start).count();
    double rate = seconds > 0 ? m_records / seconds : 0;
    std::string remaining;
    if (m_total > 0 && rate > 0 && m_records <= m_total) {
      remaining = "，预计剩余" + Duration((m_total - m_records) / rate);
    }
    if (m_terminal) {
      std::printf("\r已完成%d条结果，%.0f条/秒%s   ", m_records + m_first, rate, remaining.c_str());
      m_printedInPlace = true;
    } else {
      std::printf("速度%.0f条/秒%s\n", rate, remaining.c_str());
    }
    std::fflush(stdout);
  }

  int m_total;
  bool m_terminal;
  int m_first;
  Clock::time_point m_start;
  Clock::time_point m_last;
  int m_records = 0;
  bool m_printedInPlace = false;
};

// Follows the sort column's values on the fetching thread.
class CSortKeyTracker {
 public:
  explicit CSortKeyTracker(tSORT_KEYS* keys)
      : m_keys(keys != nullptr && !keys->column.empty() ? keys : nullptr) {
    if (m_keys != nullptr) {
      m_keys->increasing = true;
      m_keys->last.clear();
      m_keys->reason.clear();
      m_previous = m_keys->before;
    }
  }

  // False (with *error) when the order broke and the walk must stop.
  bool Observe(const CDbRow& row, std::string* error) {
    if (m_keys == nullptr || !m_keys->increasing) return true;
    std::string reason;
    if (!row.GetColumn(m_keys->column.c_str(), &m_value, &reason)) {
      return Break("the sort column " + m_keys->column + " cannot be read (" + reason + ")", error);
    }
    std::string key = EncodeSortKey(m_value);
    if (key.empty()) {
      return Break("a value of the sort column " + m_keys->column + " is NULL or a fraction",
                   error);
    }
    if (!m_previous.empty() && !SortKeyLess(m_previous, key)) {
      return Break("the sort column " + m_keys->column + " is not strictly increasing (" +
                       SortKeyLiteral(key) + " after " + SortKeyLiteral(m_previous) + ")",
                   error);
    }
    if (m_keys->lines != nullptr) {
      m_keys->lines->append(key);
      m_keys->lines->push_back('\n');
    }
    m_previous.swap(key);
    m_keys->last = m_previous;
    return true;
  }

 private:
  bool Break(const std::string& reason, std::string* error) {
    m_keys->increasing = false;
    m_keys->last.clear();
    m_keys->reason = reason;
    if (!m_keys->stopWhenNotIncreasing) return true;
    *error = reason;
    return false;
  }

  tSORT_KEYS* m_keys;
  std::string m_previous;
  CDbValue m_value;
};

bool WalkOnOneThread(CDataLineIndex* store, CDbRecordSet* rows, CProgress* progress,
                     CSortKeyTracker* keys, std::string* error) {
  tSCANNED_RECORD record;
  while (!rows->AtEnd()) {
    if (!keys->Observe(rows->GetRow(), error)) return false;
    if (!FetchRecord(*store, rows->GetRow(), &record, error)) return false;
    PrepareRecord(*store, &record.prepared);
    if (!store->AppendRecord(record.prepared, error)) return false;
    ReleaseLargeBuffers(&record);
    progress->Record(store->GetRecordCount());
    if (!rows->MoveNext(error)) return false;
  }
  return true;
}

struct CBatch {
  std::vector<tSCANNED_RECORD> records = std::vector<tSCANNED_RECORD>(kBatchRecords);
  int count = 0;
  int64_t sequence = 0;
};

class CPipeline {
 public:
  CPipeline(CDataLineIndex* store, CProgress* progress, CSortKeyTracker* keys, int workers)
      : m_store(store), m_progress(progress), m_keys(keys), m_workerCount(workers) {
    // Enough batches that every worker has one to prepare and one waiting.
    for (int i = 0; i < 2 * workers + 2; ++i) {
      m_batches.push_back(std::make_unique<CBatch>());
      m_free.push_back(m_batches.back().get());
    }
  }

  bool Run(CDbRecordSet* rows, std::string* error) {
    std::vector<std::thread> workers;
    for (int i = 0; i < m_workerCount; ++i) workers.emplace_back([this] { Work(); });
    Fetch(rows);
    for (std::thread& worker : workers) worker.join();
    // A fetch failure ends the walk after the rows fetched before it are appended.
    if (!m_failed && !m_fetchError.empty()) {
      m_failed = true;
      m_error = m_fetchError;
    }
    if (m_failed) *error = m_error;
    return !m_failed;
  }

 private:
  void Fail(const std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failed) m_error = error;
    m_failed = true;
    m_changed.notify_all();
  }

  // The calling thread: fills free batches with fetched rows and queues them in order.
  void Fetch(CDbRecordSet* rows) {
    int64_t sequence = 0;
    std::string error;
    while (!rows->AtEnd()) {
      CBatch* batch = nullptr;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_failed || !m_free.empty(); });
        if (m_failed) break;
        batch = m_free.back();
        m_free.pop_back();
      }
      batch->count = 0;
      batch->sequence = sequence++;
      bool ok = true;
      while (ok && batch->count < kBatchRecords && !rows->AtEnd()) {
        ok = m_keys->Observe(rows->GetRow(), &error) &&
             FetchRecord(*m_store, rows->GetRow(), &batch->records[batch->count], &error) &&
             rows->MoveNext(&error);
        if (ok) ++batch->count;
      }
      // A failed fetch ends the walk; the rows before it are still appended.
      std::lock_guard<std::mutex> lock(m_mutex);
      m_ready.push_back(batch);
      if (!ok) {
        m_fetchError = error.empty() ? std::string("Unknown database error") : error;
        break;
      }
      m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fetchDone = true;
    m_changed.notify_all();
  }

  void Work() {
    std::string error;
    for (;;) {
      CBatch* batch = nullptr;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_failed || !m_ready.empty() || m_fetchDone; });
        if (m_failed || m_ready.empty()) return;
        batch = m_ready.front();
        m_ready.pop_front();
      }
      for (int i = 0; i < batch->count; ++i) PrepareRecord(*m_store, &batch->records[i].prepared);
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this, batch] { return m_failed || m_appended == batch->sequence; });
        if (m_failed) return;
      }
      // This worker holds the turn: no other thread touches the store until it passes it on.
      bool ok = true;
      for (int i = 0; ok && i < batch->count; ++i) {
        ok = m_store->AppendRecord(batch->records[i].prepared, &error);
        if (ok) m_progress->Record(m_store->GetRecordCount());
        ReleaseLargeBuffers(&batch->records[i]);
      }
      if (!ok) {
        Fail(error);
        return;
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_appended;
      m_free.push_back(batch);
      m_changed.notify_all();
    }
  }

  CDataLineIndex* m_store;
  CProgress* m_progress;
  CSortKeyTracker* m_keys;
  const int m_workerCount;
  std::vector<std::unique_ptr<CBatch>> m_batches;

  std::mutex m_mutex;  // guards everything below
  std::condition_variable m_changed;
  std::vector<CBatch*> m_free;
  std::deque<CBatch*> m_ready;
  int64_t m_appended = 0;  // batches appended so far (the sequence whose turn it is)
  bool m_fetchDone = false;
  std::string m_fetchError;
  bool m_failed = false;
  std::string m_error;
};

}  // namespace

bool WalkRows(CDataLineIndex* store, CDbRecordSet* rows, const tROW_WALK& walk,
              std::string* error) {
  CProgress progress(walk.expectedTotal, walk.terminal, store->GetRecordCount());
  CSortKeyTracker keys(walk.sortKeys);
  bool walked = false;
  if (walk.threads <= 1) {
    walked = WalkOnOneThread(store, rows, &progress, &keys, error);
  } else {
    CPipeline pipeline(store, &progress, &keys, walk.threads);
    walked = pipeline.Run(rows, error);
  }
  // A spill may still be written on its own thread; the walk has not ended before it has.
  std::string spillError;
  const bool spilled = store->FinishSpills(&spillError);
  if (walked && !spilled) *error = spillError;
  return walked && spilled;
}

std::string EncodeSortKey(const CDbValue& value) {
  static const char kHex[] = "0123456789abcdef";
  switch (value.kind) {
    case CDbValue::kInt32:
      return "i " + std::to_string(value.integer);
    case CDbValue::kText:
    case CDbValue::kDateTime: {
      if (value.text.empty()) return std::string();
      std::string key = "t ";
      for (unsigned char byte : value.text) {
        key += kHex[byte >> 4];
        key += kHex[byte & 15];
      }
      return key;
    }
    default:
      return std::string();
  }
}

tDbParameter SortKeyParameter(const std::string& key) {
  tDbParameter parameter;
  if (key.compare(0, 2, "i ") == 0) {
    parameter.integer = std::strtoll(key.c_str() + 2, nullptr, 10);
    return parameter;
  }
  parameter.isText = true;
  for (size_t i = 2; i + 1 < key.size(); i += 2) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    parameter.text += static_cast<char>(nibble(key[i]) * 16 + nibble(key[i + 1]));
  }
  return parameter;
}

std::string SortKeyLiteral(const std::string& key) {
  const tDbParameter parameter = SortKeyParameter(key);
  if (!parameter.isText) return std::to_string(parameter.integer);
  std::string literal = "'";
  for (char byte : parameter.text) {
    literal += byte;
    if (byte == '\'') literal += byte;
  }
  return literal + "'";
}

bool SortKeyLess(const std::string& a, const std::string& b) {
  if (a.size() < 2 || b.size() < 2 || a[0] != b[0]) return false;
  if (a[0] == 'i') return std::stoll(a.substr(2)) < std::stoll(b.substr(2));
  // Two hex digits per byte: the hex texts compare as the bytes do.
  return a.compare(2, std::string::npos, b, 2, std::string::npos) < 0;
}
