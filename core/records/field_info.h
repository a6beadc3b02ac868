// CFieldInfo: the field schema of the indexed table. Field 0 is always the all-fields entry
// "*" (type FIELD_TYPE_ALL, indexed at position 0); data fields are numbered from 1 in the
// order of the schema text. Each field may be a member of four lists (indexed, filter,
// stored, wildcard); a member's position in a list is its column number in every other file
// of the engine (data lines, index files, result pages), -1 (kNone) meaning "not a member".
//
// Files: ImportText reads the administrator's text (a header line, then one line of nine
// blank- or tab-separated columns per field); SaveBinary/LoadBinary write and read the
// binary schema (little-endian int32 counts and position tables, then one record per
// field); ExportText writes the review text. Failures print one line naming the file.
//
// Thread safety: the schema is filled once (ImportText or LoadBinary) on one thread and is
// read-only afterwards. Every table, the member tables included, is complete when filling
// returns, so the const members may then be called from any number of threads at once.
//
// This file depends only on core/text: the client library compiles it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum { LIST_INDEXED = 0, LIST_FILTER = 1, LIST_STORED = 2, LIST_WILDCARD = 3 };
enum {
  FIELD_TYPE_NONE = 0,  // unknown type letter: no value is read, the text is always empty
  FIELD_TYPE_T = 1,     // text; the only type that can be indexed
  FIELD_TYPE_I = 2,     // integer
  FIELD_TYPE_L = 3,     // no value is read
  FIELD_TYPE_D = 4,     // date-time
  FIELD_TYPE_ALL = 5    // only the all-fields entry "*"
};

constexpr int kListCount = 4;

struct tFIELD_ENTRY {
  std::string name;       // column name in the database table
  std::string indexName;  // external name used by queries and result documents
  int8_t type = FIELD_TYPE_NONE;
  // Flags, each 0 or 1.
  uint8_t isIndexed = 0, isFilter = 0, isStored = 0, isWildcard = 0;
  std::string explanation;  // free comment, one word
};

class CFieldInfo {
 public:
  CFieldInfo();  // empty: no fields, all lists empty
  virtual ~CFieldInfo();

  // Builds the schema from the text file at `path`, replacing any previous content. Line 1
  // is a header; each further non-blank line is the next field, read as "%d%s%s%s%d%d%d%d%s"
  // (sequence number, name, index name, type letter, indexed, filter, stored, wildcard,
  // explanation); a flag is set only by exactly 1, and only type T may be indexed. Blank
  // lines (also before the header) are skipped. Fails, printing "Error Import %s\n" (plus a line
  // saying what is wrong, except when the file cannot be opened), when the file cannot be opened,
  // has no header line, or a field line has fewer than nine columns or a non-numeric number column,
  // or repeats an earlier field's index name ("*" included); the schema is then unchanged.
  bool ImportText(const char* path);

  // Writes the binary schema; "Error Write %s\n" and false when it cannot. The file is
  // written beside `path` and moved into place, so a failed save leaves the old one intact.
  bool SaveBinary(const char* path) const;

  // Replaces the schema by the binary file's content. A file that cannot be read, is
  // truncated, carries trailing bytes or holds inconsistent counts, lengths, positions or
  // flags is refused with "Error Read %s\n" and false; the schema is then unchanged. So is
  // one that ImportText cannot produce: field 0 in the filter, stored or wildcard list, an
  // indexed field whose type is not T, two fields of one index name.
  bool LoadBinary(const char* path);

  // Writes the review text (field table, then the members of the four lists); "Error Write
  // %s\n" and false when it cannot.
  bool ExportText(const char* path) const;

  // The binary form in memory, as SaveBinary writes it.
  std::string EncodeBinary() const;
  // Decodes the binary form of `size` bytes with the checks of LoadBinary; false (schema
  // unchanged, nothing printed) when the bytes are damaged.
  bool DecodeBinary(const char* data, size_t size);

  // N, field 0 included (0 for an empty schema).
  int GetFieldCount() const;
  // The entry of field 0..N-1; for any other number an empty entry of type FIELD_TYPE_NONE.
  const tFIELD_ENTRY& GetField(int field) const;
  // Lowest field number whose index name equals `indexName` byte for byte, or -1.
  int FindField(const char* indexName) const;
  // Size of list 0..3 (0 for any other list number).
  int GetListSize(int list) const;
  // Position of `field` in `list`, or -1 when it is not a member or either is out of range.
  int GetListPosition(int field, int list) const;
  // Field number at `position` of `list`, or -1 when either is out of range.
  int GetListMember(int position, int list) const;

 private:
  void AddField(tFIELD_ENTRY entry);
  void BuildMemberTables();
  bool CheckConsistent() const;

  std::vector<tFIELD_ENTRY> m_fields;
  int32_t m_listSize[kListCount] = {0, 0, 0, 0};
  std::vector<int32_t> m_position[kListCount];  // [list][field] -> position or -1
  std::vector<int32_t> m_member[kListCount];    // [list][position] -> field
};
