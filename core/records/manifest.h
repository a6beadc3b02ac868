// CManifest: the commit record of a data set, the text file <base>.manifest that mode 4
// writes beside <base>.dataline and <base>.index_<k> once every file of a generation is on
// disk. It names, by size and CRC-32C, the trie, the word list and the binary schema the set
// was built with and every data file of the set, and carries the record count and the
// generation number (1, 2, 3, ... per base name). The format (ASCII, one item per line, in
// this order; sizes in decimal bytes, checksums as 8 lower-case hex digits):
//
//   trindle-data-set 1
//   generation <n>
//   records <count>
//   trie <size> <crc>
//   word-list <size> <crc>
//   schema <size> <crc> <path of the binary schema that mode 4 wrote, to the line end>
//   dataline <size> <crc>
//   indexes <K>
//   index_<k> <size> <crc>        (K lines, k = 0 .. K-1)
//   contains <C>                  (only for a set with contains indexes, C = K - 1)
//   chars_<k> <size> <crc>        (C lines, k = 1 .. C)
//   lengths <size> <crc>
//   keys <size> <crc>             (only when the set records its sort keys, <base>.keys)
//   deleted <size> <crc>          (only when records no longer answer, <base>.deleted)
//   change-mark <key>             (only when known, see changeMark)
//   delta <D>                     (only for a set with a delta of D records, then:)
//   delta-dataline <size> <crc>   <base>.delta.dataline
//   delta-index_<k> <size> <crc>  (K lines, k = 0 .. K-1)
//   delta-chars_<k> <size> <crc>  (C lines, k = 1 .. C, when the set has contains indexes)
//   delta-lengths <size> <crc>    (when the set has contains indexes)
//   delta-records <size> <crc>    <base>.delta.records
//   last-key <key>                (only when known, see lastKey)
//   end
//
// Parse refuses anything else, so a truncated or edited manifest is never half-read.
// A manifest is a plain value; copying it is cheap.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/crc32c.h"

// True when `key` has the form of CManifest::lastKey.
bool IsLastKey(std::string_view key);

class CManifest {
 public:
  int64_t generation = 0;
  int32_t recordCount = 0;
  tFILE_IDENTITY trie;
  tFILE_IDENTITY wordList;
  tFILE_IDENTITY schema;
  std::string schemaPath;  // absolute when mode 4 could resolve its folder
  tFILE_IDENTITY dataLine;
  std::vector<tFILE_IDENTITY> indexes;  // K entries
  // The contains indexes and the field lengths, when the set was built with them: chars[i]
  // is <base>.chars_<i+1>.
  bool contains = false;
  std::vector<tFILE_IDENTITY> chars;
  tFILE_IDENTITY lengths;
  // The sort keys of the records (record_keys.h) and the deletion list (record_list.h),
  // when the generation has them.
  bool hasKeys = false;
  tFILE_IDENTITY keys;
  bool hasDeleted = false;
  tFILE_IDENTITY deleted;
  // The greatest value of the change column when the own files were read (encoded as
  // lastKey); a change run reads the rows changed since. Empty when unknown.
  std::string changeMark;
  // The delta (<base>.delta.*): the rows changed or added since the own files were built,
  // in files of the same formats, with the same K and C, and its record list.
  int32_t deltaRecords = -1;  // -1: none
  tFILE_IDENTITY deltaDataLine;
  std::vector<tFILE_IDENTITY> deltaIndexes;
  std::vector<tFILE_IDENTITY> deltaChars;
  tFILE_IDENTITY deltaLengths;
  tFILE_IDENTITY deltaRecordList;
  // The sort column's value in the last record, when the build read a plain sort column
  // whose values were strictly increasing: "i <decimal>" for a number, "t <hex bytes>" for a
  // text or date-time (GBK bytes, two lower-case hex digits each). Empty when unknown; an
  // appending run then builds in full.
  std::string lastKey;

  enum class ReadResult { kRead, kMissing, kFailed };

  std::string Format() const;

  // Replaces this manifest with the one in `text`; on failure leaves it unchanged and puts
  // the line that was wrong into *error.
  bool Parse(const std::string& text, std::string* error);

  // Reads and parses the file at `path`. kMissing when it does not exist; kFailed, with the
  // reason in *error, when it cannot be read or parsed.
  ReadResult Read(const std::string& path, std::string* error);
};
