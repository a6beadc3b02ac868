// Generations of a data set, the loader's side: how every loader checks the generation it is
// about to load, finishing its commit when a writer was stopped after the commit. The writer's
// side is CDataSetWriter (data_set_writer.h).
//
// A generation's files are first written under pending names, the final name with ".g<n>"
// appended (<base>.dataline.g7, <base>.index_0.g7, and the binary schema when it changes),
// each flushed to disk. Then <base>.manifest is replaced by write-beside-and-rename: that
// rename is the commit. Afterwards the pending files are renamed onto the names the file
// formats define. A crash before the commit leaves the old files untouched (the leftovers are
// removed by the next mode-4 run); a crash after it leaves pending files that the next loader
// or mode-4 run renames into place before anything is read ("finishing the commit"). So
// whatever is loaded is one whole generation, old or new.
//
// A data set without a manifest (written by another tool, or by hand) is loaded as it is,
// unchecked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/records/manifest.h"

// Renames every file of `manifest`'s generation that is still under its pending name onto its
// final name (a file already moved is skipped), then flushes the folders. False with the
// reason in *error when a rename fails for another reason than a missing pending file.
bool FinishCommit(const std::string& base, const CManifest& manifest, std::string* error);

struct tDATA_SET_CHECK {
  int64_t generation = 0;    // 0: the set has no manifest and was not checked
  int32_t recordCount = -1;  // from the manifest; -1 without one
  std::string message;       // why the set was refused (one line, no line end)
  // The set has contains indexes and field lengths to load: its manifest lists them, or,
  // without a manifest, <base>.lengths exists.
  bool contains = false;
  // The set has a deletion list to load (listed in its manifest or, without one, present).
  bool deleted = false;
  // The set has a delta to load (<base>.delta.*, data_set_files.h).
  bool delta = false;
};

// The files of one data set as the server and mode 5 load them.
struct tDataSetPaths {
  std::string base;      // the stem of <base>.dataline, <base>.index_<k> and <base>.manifest
  std::string schema;    // the binary schema
  std::string trie;      // the dictionary trie
  std::string wordList;  // the word list
};

// The load-time check. When <base>.manifest exists, finishes an interrupted commit and
// compares the trie, word list and binary schema at the given paths and <base>.dataline and
// every <base>.index_<k> with the sizes and checksums the manifest records, reading each file
// once. True when all match, or when there is no manifest. False with one line in
// result->message naming the first file that differs and how (or why the manifest cannot be
// used). A set that changes generation while it is being checked is checked again, at most
// three times in all. Call it before loading any of the files, so that the files loaded are
// the ones checked.
bool CheckDataSet(const tDataSetPaths& paths, tDATA_SET_CHECK* result);

// The generation <base>.manifest records: 0 when there is none, -1 when it cannot be read.
// Cheap (one small file), for a server that watches for a new generation.
int64_t ReadDataSetGeneration(const std::string& base);

// One data file a manifest records: its path, what it is (for messages) and the identity it
// must have (an entry of the manifest).
struct tDATA_FILE {
  std::string path;
  const char* what;
  tFILE_IDENTITY* identity;
};
// The data files `manifest` records for the data set <base>, in the order they are committed:
// the data-line file, the word indexes, then (with contains indexes) the contains indexes and
// the field lengths, the sort keys, the deletion list and the delta's files. The identities point
// into *manifest, which must outlive the result.
std::vector<tDATA_FILE> ManifestDataFiles(const std::string& base, CManifest* manifest);
