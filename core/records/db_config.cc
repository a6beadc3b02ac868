#include "core/records/db_config.h"

#include <cstdio>

#include "core/util/file_util.h"
#include "core/util/tag_value.h"

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
  *this = loaded;
  return true;
}
