// Generations of a data set: how mode 4 commits a new one atomically and how every loader
// checks the one it is about to load.
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
#include <functional>
#include <string>

#include "core/records/data_set_files.h"
#include "core/records/manifest.h"

class CFieldInfo;

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

// Mode 4's side: one object per run, used as Begin, WriteSchema, IdentifyInputs, (the store
// saves its files with PendingSuffix()), Commit. Destroying an object whose generation did not
// commit removes that generation's pending files; the old generation is never touched before the
// commit. Not thread-safe; two runs on one base name exclude each other through <base>.lock.
class CDataSetWriter {
 public:
  // Called with a short name at every step of the commit; tests use it to stop the process
  // there. Empty by default.
  using FaultHook = std::function<void(const char* step)>;

  // `schemaPath` is where the binary schema goes (mode 4: the schema text's name + ".dat").
  CDataSetWriter(std::string base, std::string schemaPath);
  virtual ~CDataSetWriter();
  CDataSetWriter(const CDataSetWriter&) = delete;
  CDataSetWriter& operator=(const CDataSetWriter&) = delete;

  void SetFaultHook(FaultHook hook) { m_hook = std::move(hook); }

  // Takes the lock <base>.lock (refused when another run holds it), finishes an interrupted
  // commit, removes the pending files of generations that never committed, and reads the
  // committed manifest. False with the reason in *error.
  bool Begin(std::string* error);

  // The generation this run writes (the committed one + 1, or 1), and the suffix of its
  // pending names (".g<n>"). REQUIRES: Begin succeeded.
  int64_t generation() const { return m_generation; }
  std::string PendingSuffix() const;

  // True when saving `schema` would change the binary schema file that another committed data
  // set (a manifest in the schema's folder or in this base's folder) was built with and still
  // loads; *user then names that data set's base. Two data sets built from one schema text in
  // one folder share the file, and a change for one would make the other's next load fail.
  bool SchemaUsedByAnother(const CFieldInfo& schema, std::string* user) const;

  // Saves the binary schema of the new generation. When that leaves the committed generation
  // loadable (no manifest, the manifest names another schema file, or the same bytes), the
  // schema is written under its final name at once, so it exists even when a later step of
  // mode 4 fails; otherwise it is written under its pending name and moved in by Commit. The
  // schema prints its own failure; a missing schema file then fails Commit.
  void WriteSchema(const CFieldInfo& schema);

  // Records the sizes and checksums of the trie and the word list the run builds with; called
  // right after they were loaded. False with the reason in *error when one cannot be read.
  bool IdentifyInputs(const std::string& triePath, const std::string& wordListPath,
                      std::string* error);

  // After the store has saved <base>.dataline and <base>.index_0 .. index_<indexCount-1> (and
  // the contains files, see SetContainsCount) under their pending names: flushes them to disk,
  // records their sizes and checksums in a new manifest with those of the inputs, commits it, and
  // renames the files into place. False with the reason in *error; the generation counts as
  // committed (and its files are kept) once the manifest is in place, even if a later rename
  // failed. REQUIRES: IdentifyInputs succeeded.
  bool Commit(int indexCount, int32_t recordCount, std::string* error);

  bool committed() const { return m_committed; }

  // The manifest of the committed generation Begin found; null when there was none.
  const CManifest* previous() const { return m_hasManifest ? &m_previous : nullptr; }

  // True when the trie, word list and binary schema of this run (after WriteSchema and
  // IdentifyInputs) are those the committed generation was built with; otherwise false with
  // the first that differs in *why.
  bool SameInputsAsPrevious(std::string* why) const;

  // The manifest's last-key line of the new generation (empty: none).
  void SetLastKey(const std::string& key) { m_lastKey = key; }

  // The store saved contains indexes <base>.chars_1 .. chars_<count> and <base>.lengths
  // (pending names too); Commit lists them. -1 (the default): the set has none.
  void SetContainsCount(int count) { m_charCount = count; }

 private:
  void Step(const char* name) const;
  void RemoveLeftovers() const;

  std::string m_base;
  std::string m_schemaPath;
  std::string m_schemaAbsolute;
  FaultHook m_hook;
  int m_lock = -1;
  bool m_began = false;
  bool m_hasManifest = false;
  CManifest m_previous;
  int64_t m_generation = 0;
  bool m_schemaPending = false;
  tFILE_IDENTITY m_schemaIdentity;
  tFILE_IDENTITY m_trieIdentity;
  tFILE_IDENTITY m_wordListIdentity;
  bool m_committed = false;
  std::string m_lastKey;
  int m_charCount = -1;
};
