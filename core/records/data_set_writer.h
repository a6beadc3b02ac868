// CDataSetWriter: mode 4's side of a data set's generations (data_set_check.h describes how a
// generation is committed and checked). It writes the binary schema, identifies the inputs,
// and commits the files the store saved under their pending names by replacing
// <base>.manifest, then moves the files into place.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/records/data_set_check.h"
#include "core/records/manifest.h"

class CFieldInfo;

// One object per run, used as Begin, WriteSchema, IdentifyInputs, (the store
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

  // The store saved <base>.keys under its pending name (record_keys.h); Commit lists it.
  void SetKeysSaved() { m_keysSaved = true; }
  // The run saved the deletion list <base>.deleted under its pending name; Commit lists it.
  // Without it the new generation has no deletion list.
  void SetDeletedSaved() { m_deletedSaved = true; }
  // The new generation keeps the data-line file, the word and contains indexes, the field
  // lengths and (unless SetKeysSaved) the sort keys of the committed one as they are: Commit
  // lists them with the identities the committed manifest records, and nothing is rewritten
  // or moved. REQUIRES: previous() is not null.
  void ShareDataFilesOfPrevious() { m_shareData = true; }
  // The run saved a delta of `records` records (its data files under the base name
  // <base>.delta and its record list, all under their pending names, with the index and
  // contains counts of the own files); Commit lists them. Without it the generation has none.
  void SetDeltaSaved(int32_t records) { m_deltaRecords = records; }
  // The manifest's change-mark line of the new generation (empty: none).
  void SetChangeMark(const std::string& mark) { m_changeMark = mark; }

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
  bool m_keysSaved = false;
  bool m_deletedSaved = false;
  bool m_shareData = false;
  int32_t m_deltaRecords = -1;
  std::string m_changeMark;
};
