#include "core/records/manifest.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "core/util/file_util.h"

namespace {

constexpr const char* kMagic = "trindle-data-set 1";
constexpr size_t kMaxIndexes = 1 << 16;

std::string FormatIdentity(const char* key, const tFILE_IDENTITY& identity) {
  char line[96];
  std::snprintf(line, sizeof line, "%s %" PRId64 " %08x", key, identity.size, identity.crc);
  return line;
}

// Reads a decimal integer in [0, limit] that fills the whole of `text`; a number beyond the
// limit is refused before it can overflow, however many digits it has.
bool ParseCount(const std::string& text, int64_t limit, int64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (result > (limit - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseCrc(const std::string& text, uint32_t* crc) {
  if (text.size() != 8) return false;
  uint32_t result = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *crc = result;
  return true;
}

// Splits "key size crc[ rest]" and checks the key; `rest` takes whatever follows the crc.
bool ParseIdentity(const std::string& line, const std::string& key, tFILE_IDENTITY* identity,
                   std::string* rest) {
  if (line.compare(0, key.size() + 1, key + " ") != 0) return false;
  size_t sizeEnd = line.find(' ', key.size() + 1);
  if (sizeEnd == std::string::npos) return false;
  size_t crcEnd = line.find(' ', sizeEnd + 1);
  std::string crcText = line.substr(
      sizeEnd + 1, crcEnd == std::string::npos ? std::string::npos : crcEnd - sizeEnd - 1);
  if (rest != nullptr) {
    if (crcEnd == std::string::npos) return false;
    *rest = line.substr(crcEnd + 1);
  } else if (crcEnd != std::string::npos) {
    return false;
  }
  return ParseCount(line.substr(key.size() + 1, sizeEnd - key.size() - 1), INT64_MAX,
                    &identity->size) &&
         ParseCrc(crcText, &identity->crc);
}

bool ParseKeyCount(const std::string& line, const std::string& key, int64_t limit, int64_t* value) {
  return line.compare(0, key.size() + 1, key + " ") == 0 &&
         ParseCount(line.substr(key.size() + 1), limit, value);
}

}  // namespace

bool IsLastKey(std::string_view key) {
  if (key.size() < 3 || key[1] != ' ' || (key[0] != 'i' && key[0] != 't')) return false;
  for (size_t i = 2; i < key.size(); ++i) {
    char c = key[i];
    bool digit = c >= '0' && c <= '9';
    if (key[0] == 'i' ? !(digit || (c == '-' && i == 2)) : !(digit || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  if (key[0] == 'i') return key.size() > (key[2] == '-' ? 3u : 2u) && key.size() < 14;
  return key.size() % 2 == 0;
}

std::string CManifest::Format() const {
  std::string text = std::string(kMagic) + "\n";
  text += "generation " + std::to_string(generation) + "\n";
  text += "records " + std::to_string(recordCount) + "\n";
  text += FormatIdentity("trie", trie) + "\n";
  text += FormatIdentity("word-list", wordList) + "\n";
  text += FormatIdentity("schema", schema) + " " + schemaPath + "\n";
  text += FormatIdentity("dataline", dataLine) + "\n";
  text += "indexes " + std::to_string(indexes.size()) + "\n";
  for (size_t k = 0; k < indexes.size(); ++k) {
    text += FormatIdentity(("index_" + std::to_string(k)).c_str(), indexes[k]) + "\n";
  }
  if (contains) {
    text += "contains " + std::to_string(chars.size()) + "\n";
    for (size_t k = 0; k < chars.size(); ++k) {
      text += FormatIdentity(("chars_" + std::to_string(k + 1)).c_str(), chars[k]) + "\n";
    }
    text += FormatIdentity("lengths", lengths) + "\n";
  }
  if (hasKeys) text += FormatIdentity("keys", keys) + "\n";
  if (hasDeleted) text += FormatIdentity("deleted", deleted) + "\n";
  if (!changeMark.empty()) text += "change-mark " + changeMark + "\n";
  if (deltaRecords >= 0) {
    text += "delta " + std::to_string(deltaRecords) + "\n";
    text += FormatIdentity("delta-dataline", deltaDataLine) + "\n";
    for (size_t k = 0; k < deltaIndexes.size(); ++k) {
      text += FormatIdentity(("delta-index_" + std::to_string(k)).c_str(), deltaIndexes[k]) + "\n";
    }
    if (contains) {
      for (size_t k = 0; k < deltaChars.size(); ++k) {
        text +=
            FormatIdentity(("delta-chars_" + std::to_string(k + 1)).c_str(), deltaChars[k]) + "\n";
      }
      text += FormatIdentity("delta-lengths", deltaLengths) + "\n";
    }
    text += FormatIdentity("delta-records", deltaRecordList) + "\n";
  }
  if (!lastKey.empty()) text += "last-key " + lastKey + "\n";
  text += "end\n";
  return text;
}

bool CManifest::Parse(const std::string& text, std::string* error) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      *error = "the last line has no line end";
      return false;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  size_t next = 0;
  auto line = [&]() -> const std::string& {
    static const std::string kMissingLine;
    return next < lines.size() ? lines[next] : kMissingLine;
  };
  auto fail = [&]() {
    *error = next < lines.size() ? "line " + std::to_string(next + 1) + " \"" + lines[next] + "\""
                                 : "it ends after line " + std::to_string(lines.size());
    return false;
  };

  CManifest parsed;
  int64_t value = 0;
  if (line() != kMagic) return fail();
  ++next;
  if (!ParseKeyCount(line(), "generation", INT64_MAX, &parsed.generation)) return fail();
  ++next;
  if (!ParseKeyCount(line(), "records", INT32_MAX, &value)) return fail();
  parsed.recordCount = static_cast<int32_t>(value);
  ++next;
  if (!ParseIdentity(line(), "trie", &parsed.trie, nullptr)) return fail();
  ++next;
  if (!ParseIdentity(line(), "word-list", &parsed.wordList, nullptr)) return fail();
  ++next;
  if (!ParseIdentity(line(), "schema", &parsed.schema, &parsed.schemaPath) ||
      parsed.schemaPath.empty()) {
    return fail();
  }
  ++next;
  if (!ParseIdentity(line(), "dataline", &parsed.dataLine, nullptr)) return fail();
  ++next;
  if (!ParseKeyCount(line(), "indexes", kMaxIndexes, &value)) return fail();
  ++next;
  parsed.indexes.resize(static_cast<size_t>(value));
  for (size_t k = 0; k < parsed.indexes.size(); ++k, ++next) {
    if (!ParseIdentity(line(), "index_" + std::to_string(k), &parsed.indexes[k], nullptr)) {
      return fail();
    }
  }
  if (line().compare(0, 9, "contains ") == 0) {
    if (!ParseKeyCount(line(), "contains", kMaxIndexes, &value)) return fail();
    ++next;
    parsed.contains = true;
    parsed.chars.resize(static_cast<size_t>(value));
    for (size_t k = 0; k < parsed.chars.size(); ++k, ++next) {
      if (!ParseIdentity(line(), "chars_" + std::to_string(k + 1), &parsed.chars[k], nullptr)) {
        return fail();
      }
    }
    if (!ParseIdentity(line(), "lengths", &parsed.lengths, nullptr)) return fail();
    ++next;
  }
  if (line().compare(0, 5, "keys ") == 0) {
    if (!ParseIdentity(line(), "keys", &parsed.keys, nullptr)) return fail();
    parsed.hasKeys = true;
    ++next;
  }
  if (line().compare(0, 8, "deleted ") == 0) {
    if (!ParseIdentity(line(), "deleted", &parsed.deleted, nullptr)) return fail();
    parsed.hasDeleted = true;
    ++next;
  }
  if (line().compare(0, 12, "change-mark ") == 0) {
    parsed.changeMark = line().substr(12);
    if (!IsLastKey(parsed.changeMark)) return fail();
    ++next;
  }
  if (line().compare(0, 6, "delta ") == 0) {
    if (!ParseKeyCount(line(), "delta", INT32_MAX, &value)) return fail();
    parsed.deltaRecords = static_cast<int32_t>(value);
    ++next;
    if (!ParseIdentity(line(), "delta-dataline", &parsed.deltaDataLine, nullptr)) return fail();
    ++next;
    parsed.deltaIndexes.resize(parsed.indexes.size());
    for (size_t k = 0; k < parsed.deltaIndexes.size(); ++k, ++next) {
      if (!ParseIdentity(line(), "delta-index_" + std::to_string(k), &parsed.deltaIndexes[k],
                         nullptr)) {
        return fail();
      }
    }
    if (parsed.contains) {
      parsed.deltaChars.resize(parsed.chars.size());
      for (size_t k = 0; k < parsed.deltaChars.size(); ++k, ++next) {
        if (!ParseIdentity(line(), "delta-chars_" + std::to_string(k + 1), &parsed.deltaChars[k],
                           nullptr)) {
          return fail();
        }
      }
      if (!ParseIdentity(line(), "delta-lengths", &parsed.deltaLengths, nullptr)) return fail();
      ++next;
    }
    if (!ParseIdentity(line(), "delta-records", &parsed.deltaRecordList, nullptr)) return fail();
    ++next;
  }
  if (line().compare(0, 9, "last-key ") == 0) {
    parsed.lastKey = line().substr(9);
    if (!IsLastKey(parsed.lastKey)) return fail();
    ++next;
  }
  if (line() != "end") return fail();
  ++next;
  if (next != lines.size()) return fail();
  *this = std::move(parsed);
  return true;
}

CManifest::ReadResult CManifest::Read(const std::string& path, std::string* error) {
  FilePtr file = OpenFile(path, "rb");
  if (!file) {
    if (errno == ENOENT) return ReadResult::kMissing;
    *error = path + ": " + std::strerror(errno);
    return ReadResult::kFailed;
  }
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, got);
    if (text.size() > (1u << 24)) break;  // far beyond any real manifest
  }
  if (std::ferror(file.get()) != 0) {
    *error = path + ": read error";
    return ReadResult::kFailed;
  }
  std::string reason;
  if (!Parse(text, &reason)) {
    *error = path + " is damaged: " + reason;
    return ReadResult::kFailed;
  }
  return ReadResult::kRead;
}
