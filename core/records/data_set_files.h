// Every file name of a data set, made and parsed here and nowhere else. All are made from the
// data set's base (stem) <base>:
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
//   <base>.lock          held by the one run that writes the data set
// A generation's files are written under pending names, "<final name>.g<n>" (generation n),
// before its commit. A bounded build spills under the prefix "<base>.spill.g<n>": the
// sections "<prefix>.cells", "<prefix>.pool" and "<prefix>.filters", and the sorted runs of
// each index, "<prefix>.index_<k>.run<r>" (and "<prefix>.chars_<k>.run<r>").
// Pure functions of their arguments; they touch no file and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string DataLinePath(const std::string& base);
std::string IndexPath(const std::string& base, size_t k);
std::string CharsPath(const std::string& base, size_t k);
std::string LengthsPath(const std::string& base);
std::string ManifestPath(const std::string& base);
std::string LockPath(const std::string& base);
// The deletion list of a generation: the records it no longer serves.
std::string DeletedPath(const std::string& base);

// ".g<generation>", what a final name is followed by while the generation is pending.
std::string PendingSuffix(int64_t generation);
// "<finalPath>.g<generation>".
std::string PendingPath(const std::string& finalPath, int64_t generation);
// True for the file name "<finalName>.g<digits>" followed by ".tmp" any number of times (a
// file is written as "<name>.tmp" before it takes its pending name, and the pending name of
// an index file is itself the temporary of the data set's save).
bool IsPendingName(const std::string& name, const std::string& finalName);
// True for the pending name of one of <base>'s data files (data-line file, word and contains
// indexes, field lengths) and for every spilled file of a bounded build of any generation,
// given the file name part of the base.
bool IsPendingDataFile(const std::string& name, const std::string& baseName);

// The sort keys of the records, read by change runs to find the record of a row.
std::string KeysPath(const std::string& base);
// The delta's base name (its data files are those of a data set of that name), and its
// record list.
std::string DeltaBase(const std::string& base);
std::string DeltaRecordsPath(const std::string& base);

// The prefix of the spilled files of the bounded build of `generation`.
std::string SpillPrefix(const std::string& base, int64_t generation);
std::string SpillCellsPath(const std::string& spillPrefix);
std::string SpillPoolPath(const std::string& spillPrefix);
std::string SpillFiltersPath(const std::string& spillPrefix);
// Run `run` of the index whose spilled files are named after `indexStem` (IndexPath or
// CharsPath of the spill prefix).
std::string RunPath(const std::string& indexStem, int run);

// True when `path` names a manifest; *base is then the data set's base.
bool ParseManifestPath(const std::string& path, std::string* base);
