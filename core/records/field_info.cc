#include "core/records/field_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "core/text/gbk_chars.h"
#include "core/util/byte_io.h"
#include "core/util/common.h"
#include "core/util/file_util.h"
#include "core/util/string_format.h"

namespace {

using trindle::kNone;

constexpr int kTextColumns = 9;
const char* const kColumnNames[kTextColumns] = {"sequence number", "name",          "index name",
                                                "type letter",     "indexed flag",  "filter flag",
                                                "stored flag",     "wildcard flag", "explanation"};
const bool kNumberColumn[kTextColumns] = {true, false, false, false, true, true, true, true, false};

const char kAllFieldsName[] = "*";
const char kAllFieldsExplanation[] = "通配符";

int8_t TypeFromLetter(char letter) {
  switch (letter) {
    case 'T':
    case 't':
      return FIELD_TYPE_T;
    case 'I':
    case 'i':
      return FIELD_TYPE_I;
    case 'L':
    case 'l':
      return FIELD_TYPE_L;
    case 'D':
    case 'd':
      return FIELD_TYPE_D;
    default:
      return FIELD_TYPE_NONE;
  }
}

// A number column as "%d" reads it when the whole word is the number: optional sign, then
// digits. Values beyond int range are clamped; only exactly 1 sets a flag anyway.
bool ParseNumber(const std::string& word, long* value) {
  const char* text = word.c_str();
  char* end = nullptr;
  *value = std::strtol(text, &end, 10);
  return end != text && *end == '\0';
}

// Splits one line (without its line feed) into blank-separated words.
std::vector<std::string> SplitWords(const char* begin, const char* end) {
  std::vector<std::string> words;
  const char* at = begin;
  while (at < end) {
    while (at < end && gbk::IsSpace(static_cast<unsigned char>(*at))) ++at;
    const char* start = at;
    while (at < end && !gbk::IsSpace(static_cast<unsigned char>(*at))) ++at;
    if (at > start) words.emplace_back(start, at);
  }
  return words;
}

// True when no two fields share an index name (queries and result documents find a field by
// it); otherwise false, with the number of the later field of the first pair in *repeated.
bool IndexNamesUnique(const std::vector<tFIELD_ENTRY>& fields, size_t* repeated) {
  std::unordered_set<std::string> seen;
  seen.reserve(fields.size());
  for (size_t field = 0; field < fields.size(); ++field) {
    if (!seen.insert(fields[field].indexName).second) {
      if (repeated != nullptr) *repeated = field;
      return false;
    }
  }
  return true;
}

tFIELD_ENTRY AllFieldsEntry() {
  tFIELD_ENTRY entry;
  entry.name = kAllFieldsName;
  entry.indexName = kAllFieldsName;
  entry.explanation = kAllFieldsExplanation;
  entry.type = FIELD_TYPE_ALL;
  entry.isIndexed = 1;
  return entry;
}

void PutString(std::string* out, const std::string& text) {
  PutI32(out, static_cast<int32_t>(text.size()));
  PutBytes(out, text.data(), text.size());
}

bool ReadString(CByteReader* reader, std::string* text) {
  int32_t length = 0;
  const char* bytes = nullptr;
  if (!reader->ReadI32(&length) || length < 0) return false;
  if (!reader->ReadBytes(static_cast<size_t>(length), &bytes)) return false;
  text->assign(bytes, static_cast<size_t>(length));
  return true;
}

bool ReadFlag(CByteReader* reader, uint8_t* flag) { return reader->ReadU8(flag) && *flag <= 1; }

bool WriteWhole(const char* path, const std::string& bytes) {
  CPendingFile file(path);
  if (file.Open() && file.Write(bytes.data(), bytes.size()) && file.Finish() && file.Commit()) {
    return true;
  }
  std::printf("Error Write %s\n", path);
  return false;
}

// Fills *entry from the words of a field line ("%d%s%s%s%d%d%d%d%s"); false with *problem
// saying what is wrong when columns are missing or a number column is not a number.
bool ParseFieldLine(const std::vector<std::string>& words, tFIELD_ENTRY* entry,
                    std::string* problem) {
  if (words.size() < kTextColumns) {
    *problem = "has only " + std::to_string(words.size()) + " of 9 columns; missing:";
    for (size_t column = words.size(); column < kTextColumns; ++column) {
      *problem += std::string(column == words.size() ? " " : ", ") + kColumnNames[column];
    }
    return false;
  }
  long numbers[kTextColumns] = {};
  for (int column = 0; column < kTextColumns; ++column) {
    if (kNumberColumn[column] && !ParseNumber(words[column], &numbers[column])) {
      *problem = "column " + std::to_string(column + 1) + " (" + kColumnNames[column] +
                 ") is not a number: " + words[column];
      return false;
    }
  }
  entry->name = words[1];
  entry->indexName = words[2];
  entry->type = TypeFromLetter(words[3][0]);
  entry->explanation = words[8];
  entry->isIndexed = numbers[4] == 1 && entry->type == FIELD_TYPE_T;
  entry->isFilter = numbers[5] == 1;
  entry->isStored = numbers[6] == 1;
  entry->isWildcard = numbers[7] == 1;
  return true;
}

}  // namespace

CFieldInfo::CFieldInfo() = default;
CFieldInfo::~CFieldInfo() = default;

bool CFieldInfo::ImportText(const char* path) {
  if (!OpenFile(path, "rb")) {
    std::printf("Error Import %s\n", path);
    return false;
  }
  std::string contents;
  ReadWholeFile(path, &contents);  // empty when the file is empty (no header line)

  CFieldInfo schema;
  schema.AddField(AllFieldsEntry());
  std::unordered_set<std::string> indexNames = {kAllFieldsName};
  bool headerSeen = false;
  int lineNumber = 0;
  for (size_t at = 0; at < contents.size();) {
    size_t lineEnd = contents.find('\n', at);
    if (lineEnd == std::string::npos) lineEnd = contents.size();
    std::vector<std::string> words = SplitWords(contents.data() + at, contents.data() + lineEnd);
    at = lineEnd + 1;
    ++lineNumber;
    if (words.empty()) continue;  // blank lines make no field
    if (!headerSeen) {
      headerSeen = true;  // the first line is the header; its content is ignored
      continue;
    }
    tFIELD_ENTRY entry;
    std::string problem;
    if (ParseFieldLine(words, &entry, &problem) && !indexNames.insert(entry.indexName).second) {
      problem = "repeats the index name " + entry.indexName + " of an earlier field";
    }
    if (!problem.empty()) {
      std::printf("Error Import %s\nLine %d %s\n", path, lineNumber, problem.c_str());
      return false;
    }
    schema.AddField(std::move(entry));
  }
  if (!headerSeen) {
    std::printf("Error Import %s\nThe file has no header line\n", path);
    return false;
  }
  schema.BuildMemberTables();
  *this = std::move(schema);
  return true;
}

// Appends a field, giving it the next position of each list it is a member of, in the
// order indexed, stored, filter, wildcard.
void CFieldInfo::AddField(tFIELD_ENTRY entry) {
  const int order[kListCount] = {LIST_INDEXED, LIST_STORED, LIST_FILTER, LIST_WILDCARD};
  const uint8_t flags[kListCount] = {entry.isIndexed, entry.isFilter, entry.isStored,
                                     entry.isWildcard};
  for (int list : order) {
    m_position[list].push_back(flags[list] ? m_listSize[list]++ : kNone);
  }
  m_fields.push_back(std::move(entry));
}

std::string CFieldInfo::EncodeBinary() const {
  std::string bytes;
  PutI32(&bytes, GetFieldCount());
  for (int list = 0; list < kListCount; ++list) PutI32(&bytes, m_listSize[list]);
  for (int list = 0; list < kListCount; ++list) {
    for (int32_t position : m_position[list]) PutI32(&bytes, position);
  }
  for (const tFIELD_ENTRY& field : m_fields) {
    PutString(&bytes, field.name);
    PutString(&bytes, field.indexName);
    const uint8_t tail[5] = {static_cast<uint8_t>(field.type), field.isIndexed, field.isFilter,
                             field.isStored, field.isWildcard};
    PutBytes(&bytes, tail, sizeof tail);
    PutString(&bytes, field.explanation);
  }
  return bytes;
}

bool CFieldInfo::SaveBinary(const char* path) const { return WriteWhole(path, EncodeBinary()); }

bool CFieldInfo::DecodeBinary(const char* data, size_t size) {
  CByteReader reader(data, size);
  CFieldInfo schema;
  int32_t count = 0;
  if (!reader.ReadI32(&count) || count < 1) return false;
  // Each field needs 16 bytes of positions and at least 17 bytes of record.
  if (static_cast<size_t>(count) > reader.remaining() / 33) return false;
  for (int list = 0; list < kListCount; ++list) {
    if (!reader.ReadI32(&schema.m_listSize[list])) return false;
    if (schema.m_listSize[list] < 0 || schema.m_listSize[list] > count) return false;
  }
  for (int list = 0; list < kListCount; ++list) {
    schema.m_position[list].resize(static_cast<size_t>(count));
    if (!reader.ReadI32Array(schema.m_position[list].data(), schema.m_position[list].size())) {
      return false;
    }
  }
  schema.m_fields.resize(static_cast<size_t>(count));
  for (tFIELD_ENTRY& field : schema.m_fields) {
    uint8_t type = 0;
    if (!ReadString(&reader, &field.name) || !ReadString(&reader, &field.indexName) ||
        !reader.ReadU8(&type) || !ReadFlag(&reader, &field.isIndexed) ||
        !ReadFlag(&reader, &field.isFilter) || !ReadFlag(&reader, &field.isStored) ||
        !ReadFlag(&reader, &field.isWildcard) || !ReadString(&reader, &field.explanation)) {
      return false;
    }
    field.type = static_cast<int8_t>(type);
  }
  if (reader.remaining() != 0 || !schema.CheckConsistent()) return false;
  schema.BuildMemberTables();
  *this = std::move(schema);
  return true;
}

// Field 0 is the all-fields entry, data fields have a data type, every flag agrees with its
// list position, and each list's positions 0..size-1 are held by exactly one field.
bool CFieldInfo::CheckConsistent() const {
  const tFIELD_ENTRY& all = m_fields[0];
  if (all.type != FIELD_TYPE_ALL || all.name != kAllFieldsName || all.indexName != kAllFieldsName ||
      m_position[LIST_INDEXED][0] != 0) {
    return false;
  }
  // Field 0 is a member of the indexed list only: the store reads no value for it, so as a
  // filter, stored or wildcard member it would have no value where one is expected.
  if (all.isFilter || all.isStored || all.isWildcard) return false;
  for (size_t field = 1; field < m_fields.size(); ++field) {
    const tFIELD_ENTRY& entry = m_fields[field];
    if (entry.type < FIELD_TYPE_NONE || entry.type >= FIELD_TYPE_ALL) return false;
    if (entry.isIndexed && entry.type != FIELD_TYPE_T) return false;  // only text is indexed
  }
  if (!IndexNamesUnique(m_fields, nullptr)) return false;
  for (int list = 0; list < kListCount; ++list) {
    std::vector<bool> taken(static_cast<size_t>(m_listSize[list]), false);
    for (size_t field = 0; field < m_fields.size(); ++field) {
      const tFIELD_ENTRY& entry = m_fields[field];
      const uint8_t flags[kListCount] = {entry.isIndexed, entry.isFilter, entry.isStored,
                                         entry.isWildcard};
      int32_t position = m_position[list][field];
      if ((position != kNone) != (flags[list] == 1)) return false;
      if (position == kNone) continue;
      if (position < 0 || position >= m_listSize[list] || taken[position]) return false;
      taken[position] = true;
    }
    // Every position taken once: as many members as the list size.
    for (bool used : taken) {
      if (!used) return false;
    }
  }
  return true;
}

bool CFieldInfo::LoadBinary(const char* path) {
  std::string contents;
  if (ReadWholeFile(path, &contents) <= 0 || !DecodeBinary(contents.data(), contents.size())) {
    std::printf("Error Read %s\n", path);
    return false;
  }
  return true;
}

bool CFieldInfo::ExportText(const char* path) const {
  std::string text =
      "序号\t字段名称\t索引名称\t数据类型\t是否需要索引\t是否需要过滤用\t是否需要存储\t"
      "是否需要通配索引\t解释\n";
  for (size_t field = 0; field < m_fields.size(); ++field) {
    const tFIELD_ENTRY& entry = m_fields[field];
    text += Format("%d\t%s\t%s\t%d\t%d\t%d\t%d\t%d\t%s\n", static_cast<int>(field) + 1,
                   entry.name.c_str(), entry.indexName.c_str(), entry.type, entry.isIndexed,
                   entry.isFilter, entry.isStored, entry.isWildcard, entry.explanation.c_str());
  }
  const char* const headings[kListCount] = {
      "需要索引的字段序号为：\n", "\n需要过滤的字段序号为：\n", "\n需要存储的字段序号为：\n",
      "\n需要通配符索引的字段序号为：\n"};
  for (int list = 0; list < kListCount; ++list) {
    text += headings[list];
    for (size_t field = 0; field < m_fields.size(); ++field) {
      int32_t position = m_position[list][field];
      if (position == kNone) continue;
      text += Format("<%d>%d(%s)\t", static_cast<int>(field) + 1, position + 1,
                     m_fields[field].indexName.c_str());
    }
  }
  text += "\n";
  return WriteWhole(path, text);
}

void CFieldInfo::BuildMemberTables() {
  for (int list = 0; list < kListCount; ++list) {
    m_member[list].assign(static_cast<size_t>(m_listSize[list]), kNone);
    for (size_t field = 0; field < m_position[list].size(); ++field) {
      int32_t position = m_position[list][field];
      if (position >= 0 && position < m_listSize[list]) {
        m_member[list][position] = static_cast<int32_t>(field);
      }
    }
  }
}

int CFieldInfo::GetFieldCount() const { return static_cast<int>(m_fields.size()); }

const tFIELD_ENTRY& CFieldInfo::GetField(int field) const {
  static const tFIELD_ENTRY kNoField;
  if (field < 0 || field >= GetFieldCount()) return kNoField;
  return m_fields[field];
}

int CFieldInfo::FindField(const char* indexName) const {
  if (indexName == nullptr) return kNone;
  for (size_t field = 0; field < m_fields.size(); ++field) {
    if (m_fields[field].indexName == indexName) return static_cast<int>(field);
  }
  return kNone;
}

int CFieldInfo::GetListSize(int list) const {
  return list >= 0 && list < kListCount ? m_listSize[list] : 0;
}

int CFieldInfo::GetListPosition(int field, int list) const {
  if (list < 0 || list >= kListCount || field < 0 || field >= GetFieldCount()) return kNone;
  return m_position[list][field];
}

int CFieldInfo::GetListMember(int position, int list) const {
  if (list < 0 || list >= kListCount || position < 0 || position >= m_listSize[list]) {
    return kNone;
  }
  return m_member[list][position];
}
