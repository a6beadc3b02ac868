#include "core/scan/scan_database.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "core/records/data_line_index.h"
#include "core/records/decimal_text.h"
#include "core/scan/db_config.h"
#include "core/scan/db_source.h"
#include "core/scan/scan_pipeline.h"
#include "core/util/daily_log.h"

namespace {

// A failure of the database layer: its description (the one the database gave, or a
// placeholder when it gave none) goes to the console, where the operator running the mode
// sees it, and to the daily log.
void ReportError(const std::string& description) {
  std::string text = description.empty() ? std::string("Unknown database error") : description;
  std::printf("Database error: %s\n", text.c_str());
  std::fflush(stdout);
  WriteLog(text);
}

// Opens the connection, trying again every retry interval until the retry time has passed.
// Prints "Database is not running!" once, at the first failure. False with the last failure's
// description in *error.
bool OpenWithRetry(CDbConnection* connection, const std::string& connectString,
                   const CScanOptions& options, std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(options.notRunningPauseMilliseconds);
  bool reported = false;
  for (;;) {
    // A server that takes the connection and never answers is given the rest of the retry
    // time (at least a second), not for ever.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    connection->SetLoginTimeout(
        static_cast<int>(std::max<int64_t>((left.count() + 999) / 1000, 1)));
    if (connection->Open(connectString, error)) return true;
    if (!reported) {
      std::printf("Database is not running!\n");
      std::fflush(stdout);
      reported = true;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    auto pause = std::min<std::chrono::steady_clock::duration>(
        deadline - now, std::chrono::milliseconds(std::max(options.retryIntervalMilliseconds, 1)));
    std::this_thread::sleep_for(pause);
  }
}

// Opens the connection lent for a scan with the configuration's encoding, trying again as
// OpenWithRetry does; false (printed and logged) when there is none or it cannot be opened.
bool OpenForScan(const CDBConfig& config, CDbConnection* connection, const CScanOptions& options) {
  if (connection == nullptr) {
    std::printf("Create Instance failed!");
    return false;
  }
  std::string error;
  connection->SetSourceEncoding(config.GetSourceEncoding());
  if (!OpenWithRetry(connection, config.GetConnectString(), options, &error)) {
    ReportError(error);
    return false;
  }
  return true;
}

// The value of column "num" of the count statement's row as a 32-bit integer.
bool ReadCount(const CDbRecordSet& recordSet, int* count, std::string* error) {
  *count = 0;
  if (recordSet.AtEnd()) return true;
  CDbValue value;
  if (!recordSet.GetRow().GetColumn("num", &value, error)) return false;
  switch (value.kind) {
    case CDbValue::kInt32:
      *count = value.integer;
      break;
    case CDbValue::kDouble:
      *count = ReadDecimalLikeAtoi(std::to_string(std::trunc(value.real)).c_str());
      break;
    case CDbValue::kText:
      *count = ReadDecimalLikeAtoi(value.text.c_str());
      break;
    default:
      break;
  }
  return true;
}

void PrintSummary(int records, int64_t milliseconds) {
  int seconds = static_cast<int>(milliseconds / 1000);
  // Under one second the whole-second quotient would divide by zero: take milliseconds.
  double speed = seconds > 0 ? static_cast<double>(records) / seconds
                             : static_cast<double>(records) * 1000.0 /
                                   static_cast<double>(milliseconds > 0 ? milliseconds : 1);
  std::printf("记录数：%d\n处理时间:%ds\n速度为%.2f\n", records, seconds, speed);
}

char FoldAscii(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : byte;
}

bool IsWordByte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_' || (byte & 0x80) != 0;
}

}  // namespace

bool RestrictTable(const std::string& table, const std::string& condition, std::string* from,
                   std::string* why) {
  // The words outside quotes and brackets, found by one pass over the text; a quote is
  // closed by its own character (doubled, it stands for itself and reopens at once).
  struct tWord {
    size_t start;
    std::string folded;
  };
  std::vector<tWord> words;
  int depth = 0;
  char quote = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    const char byte = table[i];
    const bool lead = (byte & 0x80) != 0;
    if (lead && i + 1 < table.size()) ++i;  // a GBK character's second byte is never syntax
    if (quote != 0) {
      if (byte == quote) quote = 0;
      continue;
    }
    if (byte == '\'' || byte == '"' || byte == '`') {
      quote = byte;
    } else if (byte == '[') {
      quote = ']';
    } else if (byte == '(') {
      ++depth;
    } else if (byte == ')') {
      if (--depth < 0) break;
    } else if (byte == ';' || (byte == '-' && i + 1 < table.size() && table[i + 1] == '-') ||
               (byte == '/' && i + 1 < table.size() && table[i + 1] == '*') || byte == '#') {
      *why = "the table \"" + table + "\" holds a comment or a semicolon";
      return false;
    } else if (depth == 0 && !lead && IsWordByte(byte) && (i == 0 || !IsWordByte(table[i - 1]))) {
      // Only ASCII words are looked at: they name the clauses.
      tWord word{i, std::string()};
      size_t j = i;
      for (; j < table.size() && IsWordByte(table[j]) && (table[j] & 0x80) == 0; ++j) {
        word.folded += FoldAscii(table[j]);
      }
      if (j == table.size() || !IsWordByte(table[j])) words.push_back(std::move(word));
    }
  }
  if (quote != 0 || depth != 0) {
    *why = "the table \"" + table + "\" has unbalanced quotes or brackets";
    return false;
  }
  static const char* const kClauses[] = {"group", "having", "order",    "limit",     "offset",
                                         "fetch", "union",  "except",   "intersect", "window",
                                         "for",   "into",   "procedure"};
  size_t where = std::string::npos;
  for (const tWord& word : words) {
    for (const char* clause : kClauses) {
      if (word.folded == clause) {
        *why =
            "the table \"" + table + "\" holds \"" + clause + "\", which a condition cannot follow";
        return false;
      }
    }
    if (word.folded == "where") {
      if (where != std::string::npos) {
        *why = "the table \"" + table + "\" holds two where clauses";
        return false;
      }
      where = word.start;
    }
  }
  if (where == std::string::npos) {
    *from = table + " where " + condition;
  } else {
    size_t own = where + 5;
    while (own < table.size() &&
           (table[own] == ' ' || table[own] == '\t' || table[own] == '\n' || table[own] == '\r')) {
      ++own;
    }
    *from = table.substr(0, where) + "where (" + table.substr(own) + ") and (" + condition + ")";
  }
  return true;
}

bool ScanDatabase(CDataLineIndex* store, const CDBConfig& config, CDbConnection* connection,
                  const CScanOptions& options) {
  if (!OpenForScan(config, connection, options)) return false;
  std::printf("Open Database Success!\n");
  std::string error;

  if (options.count != nullptr) *options.count = -1;
  std::string countFrom = config.GetTable();
  std::string scanFrom = config.GetTable();
  if ((!options.countCondition.empty() &&
       !RestrictTable(config.GetTable(), options.countCondition, &countFrom, &error)) ||
      (!options.scanCondition.empty() &&
       !RestrictTable(config.GetTable(), options.scanCondition, &scanFrom, &error))) {
    ReportError(error);
    connection->Close();
    return false;
  }
  std::string countStatement = std::string("select count(*) as num from ") + countFrom;
  std::unique_ptr<CDbRecordSet> counted =
      connection->ExecuteWith(countStatement, options.countParameters, &error);
  int count = 0;
  if (counted == nullptr || !ReadCount(*counted, &count, &error)) {
    ReportError(error);
    connection->Close();
    return false;
  }
  counted.reset();
  std::printf("记录数目为%d!\n", count);
  if (options.count != nullptr) *options.count = count;

  std::string scanStatement = std::string("select * from ") + scanFrom;
  scanStatement += std::string(" order by ") + config.GetSortField();
  std::printf("Execute %s Start!\n", scanStatement.c_str());
  std::unique_ptr<CDbRecordSet> rows =
      connection->ExecuteWith(scanStatement, options.scanParameters, &error);
  if (rows == nullptr) {
    ReportError(error);
    connection->Close();
    return false;
  }
  std::printf("Execute %s Success!\n", scanStatement.c_str());

  auto start = std::chrono::steady_clock::now();
  // A store that continues a committed data set starts with its records: the summary counts
  // the rows this scan read.
  const int recordsBefore = store->GetRecordCount();
  tROW_WALK walk;
  walk.threads = options.threads;
  // A count of other rows than those read says nothing about the time left.
  walk.expectedTotal = options.countCondition == options.scanCondition ? count : -1;
  walk.terminal = options.terminalProgress;
  walk.sortKeys = options.sortKeys;
  if (!WalkRows(store, rows.get(), walk, &error)) {
    // A record the store refused (a limit of the formats, a spill that failed) and an append
    // whose keys stopped increasing are reported by the caller; the rest is the database's.
    const bool storeStopped = !store->GetLimitMessage().empty() || store->HasSpillFailed() ||
                              (options.sortKeys != nullptr && !options.sortKeys->increasing);
    if (!storeStopped) ReportError(error);
    rows.reset();
    connection->Close();
    return false;
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  PrintSummary(store->GetRecordCount() - recordsBefore,
               std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  rows.reset();
  connection->Close();
  return true;
}

bool QueryChanges(const CDBConfig& config, CDbConnection* connection, const CScanOptions& options,
                  tCHANGE_QUERY* changes) {
  if (!OpenForScan(config, connection, options)) return false;
  std::string error;
  const std::string column = config.GetSortField();
  bool ok = true;
  if (!changes->lastKey.empty()) {
    std::string from;
    ok =
        RestrictTable(config.GetTable(), column + " <= ? or " + column + " is null", &from, &error);
    std::unique_ptr<CDbRecordSet> counted;
    if (ok) {
      counted = connection->ExecuteWith("select count(*) as num from " + from,
                                        {SortKeyParameter(changes->lastKey)}, &error);
    }
    ok = counted != nullptr && ReadCount(*counted, &changes->rowsUpToKey, &error);
  }
  if (ok && !changes->changedColumn.empty()) {
    std::unique_ptr<CDbRecordSet> rows = connection->Execute(
        "select max(" + changes->changedColumn + ") as mark from " + config.GetTable(), &error);
    CDbValue value;
    ok = rows != nullptr && (rows->AtEnd() || rows->GetRow().GetColumn("mark", &value, &error));
    if (ok && rows != nullptr && !rows->AtEnd()) changes->mark = EncodeSortKey(value);
  }
  if (ok && !changes->deletedStatement.empty()) {
    std::unique_ptr<CDbRecordSet> rows = connection->Execute(changes->deletedStatement, &error);
    ok = rows != nullptr;
    CDbValue value;
    while (ok && !rows->AtEnd()) {
      ok = rows->GetRow().GetColumn(column.c_str(), &value, &error);
      if (!ok) break;
      std::string encoded = EncodeSortKey(value);
      if (!encoded.empty()) changes->deletedKeys.push_back(std::move(encoded));
      ok = rows->MoveNext(&error);
    }
  }
  if (!ok) ReportError(error);
  connection->Close();
  return ok;
}
