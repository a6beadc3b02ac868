#include "core/scan/db_config.h"

#include <cstdint>
#include <cstdio>

#include "core/util/file_util.h"
#include "core/util/tag_value.h"

namespace {

// A decimal value from 0 to `most`; a missing or empty tag leaves *value as it is.
bool ReadNumber(const std::string& text, const char* key, int most, int* value) {
  std::string digits;
  bool tooLong = false;
  GetTagValueLimited(text.c_str(), key, CDBConfig::kMaxValueLength + 1, &digits, &tooLong);
  if (tooLong) return false;
  if (digits.empty()) return true;
  int64_t number = 0;
  for (char digit : digits) {
    if (digit < '0' || digit > '9') return false;
    number = number * 10 + (digit - '0');
    if (number > most) return false;
  }
  *value = static_cast<int>(number);
  return true;
}

}  // namespace

bool CDBConfig::Load(const char* path) {
  std::string text;
  if (ReadWholeFile(path, &text) < 1) return false;
  CDBConfig loaded;
  struct {
    const char* key;
    std::string* value;
  } const keys[] = {
      {"Host", &loaded.m_host},
      {"Database", &loaded.m_database},
      {"Username", &loaded.m_username},
      {"Password", &loaded.m_password},
      {"Table", &loaded.m_table},
      {"SortField", &loaded.m_sortField},
      {"DBConnectString", &loaded.m_connectString},
      {"DeletedKeys", &loaded.m_deletedKeys},
      {"ChangedColumn", &loaded.m_changedColumn},
  };
  for (const auto& key : keys) {
    bool tooLong = false;
    GetTagValueLimited(text.c_str(), key.key, kMaxValueLength + 1, key.value, &tooLong);
    if (tooLong) {
      std::printf("The value of %s in %s is too long (at most %zu bytes)\n", key.key, path,
                  kMaxValueLength);
      return false;
    }
  }
  std::string encoding;
  bool tooLong = false;
  GetTagValueLimited(text.c_str(), "SourceEncoding", kMaxValueLength + 1, &encoding, &tooLong);
  if (tooLong || !ParseSourceEncoding(encoding, &loaded.m_sourceEncoding)) {
    std::printf("The value of SourceEncoding in %s is not UTF-8 or GBK\n", path);
    return false;
  }
  struct {
    const char* key;
    int* value;
    int most;
  } const numbers[] = {
      {"IndexMemoryMB", &loaded.m_indexMemoryMB, 1 << 20},
      {"IndexThreads", &loaded.m_indexThreads, 256},
  };
  for (const auto& number : numbers) {
    if (!ReadNumber(text, number.key, number.most, number.value)) {
      std::printf("The value of %s in %s is not a number from 0 to %d\n", number.key, path,
                  number.most);
      return false;
    }
  }
  int append = 0;
  if (!ReadNumber(text, "Append", 1, &append)) {
    std::printf("The value of Append in %s is not 0 or 1\n", path);
    return false;
  }
  loaded.m_append = append == 1;
  int contains = 1;
  if (!ReadNumber(text, "ContainsIndex", 1, &contains)) {
    std::printf("The value of ContainsIndex in %s is not 0 or 1\n", path);
    return false;
  }
  loaded.m_containsIndex = contains == 1;
  if (!ReadNumber(text, "MergeShare", 100, &loaded.m_mergeShare) || loaded.m_mergeShare < 1) {
    std::printf("The value of MergeShare in %s is not a number from 1 to 100\n", path);
    return false;
  }
  *this = loaded;
  return true;
}
