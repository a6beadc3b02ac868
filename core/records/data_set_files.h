// The names of a data set's files, all made from its base (stem) <base>:
//   <base>.dataline      stored texts and filter values
//   <base>.index_<k>     the word index of indexed position k (0: all fields)
//   <base>.chars_<k>     the contains index of indexed position k >= 1 (character units)
//   <base>.lengths       per record, the length in character units of each indexed field
//   <base>.keys          the sort key of every record (change runs find records by it)
//   <base>.deleted       the records that no longer answer (a change run's deletion list)
//   <base>.delta.*       the delta: the data files of the rows changed or added since the
//                        own files were built (base name <base>.delta), and
//                        <base>.delta.records, the record number each of its records answers as
//   <base>.manifest      the commit record of the generation
#pragma once

#include <cstddef>
#include <string>

inline std::string IndexPath(const std::string& base, size_t k) {
  return base + ".index_" + std::to_string(k);
}

inline std::string CharsPath(const std::string& base, size_t k) {
  return base + ".chars_" + std::to_string(k);
}

inline std::string LengthsPath(const std::string& base) { return base + ".lengths"; }

inline std::string KeysPath(const std::string& base) { return base + ".keys"; }

inline std::string DeletedPath(const std::string& base) { return base + ".deleted"; }

inline std::string DeltaBase(const std::string& base) { return base + ".delta"; }

inline std::string DeltaRecordsPath(const std::string& base) { return base + ".delta.records"; }
