#include "core/records/data_set_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/util/file_util.h"

namespace {

// The path with its folder resolved, so that a later run from another working folder still
// finds a pending schema; the path as given when the folder cannot be resolved.
std::string Absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(FolderOf(path).c_str(), resolved) == nullptr) return path;
  std::string folder = resolved;
  return (folder == "/" ? "" : folder) + "/" + FileNameOf(path);
}

// Flushes a written file to disk and reads back its identity.
bool SyncAndIdentify(const std::string& path, tFILE_IDENTITY* identity, std::string* error) {
  int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0 || ::fsync(descriptor) != 0) {
    *error = path + ": " + std::strerror(errno);
    if (descriptor >= 0) ::close(descriptor);
    return false;
  }
  ::close(descriptor);
  std::string reason;
  if (!IdentifyFile(path, identity, &reason)) {
    *error = path + ": " + reason;
    return false;
  }
  return true;
}

// Writes `text` to `path` and flushes it to disk.
bool WriteDurably(const std::string& path, const std::string& text, std::string* error) {
  int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = ::write(descriptor, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  bool ok = done == text.size() && ::fsync(descriptor) == 0;
  if (!ok) *error = path + ": " + std::strerror(errno);
  if (::close(descriptor) != 0 && ok) {
    *error = path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) std::remove(path.c_str());
  return ok;
}

template <typename Predicate>
void RemoveMatching(const std::string& folder, Predicate matches) {
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return;
  std::vector<std::string> doomed;
  while (dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (matches(name)) doomed.push_back(folder + "/" + name);
  }
  ::closedir(directory);
  for (const std::string& path : doomed) std::remove(path.c_str());
}

// After the commit a loader (a server watching the manifest) may finish it first: a pending
// file that is gone while its final name is a regular file of the size this generation
// recorded was moved by that loader, which is the rename this run wanted.
bool MovedByLoader(const std::string& finalPath, int64_t recordedSize) {
  if (errno != ENOENT) return false;
  struct stat status;
  return ::stat(finalPath.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<int64_t>(status.st_size) == recordedSize;
}

}  // namespace

CDataSetWriter::CDataSetWriter(std::string base, std::string schemaPath)
    : m_base(std::move(base)),
      m_schemaPath(std::move(schemaPath)),
      m_schemaAbsolute(Absolute(m_schemaPath)) {}

CDataSetWriter::~CDataSetWriter() {
  if (m_began && !m_committed) RemoveLeftovers();
  if (m_lock >= 0) ::close(m_lock);  // releases the lock
}

void CDataSetWriter::Step(const char* name) const {
  if (m_hook) m_hook(name);
}

std::string CDataSetWriter::PendingSuffix() const { return ::PendingSuffix(m_generation); }

void CDataSetWriter::RemoveLeftovers() const {
  const std::string baseName = FileNameOf(m_base);
  const std::string manifestTemporary = FileNameOf(ManifestPath(m_base)) + ".tmp";
  RemoveMatching(FolderOf(m_base), [&](const std::string& name) {
    return name == manifestTemporary || IsPendingDataFile(name, baseName);
  });
  const std::string schemaName = FileNameOf(m_schemaPath);
  RemoveMatching(FolderOf(m_schemaPath),
                 [&](const std::string& name) { return IsPendingName(name, schemaName); });
}

bool CDataSetWriter::Begin(std::string* error) {
  const std::string lockPath = LockPath(m_base);
  m_lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_lock < 0) {
    *error = "Cannot open " + lockPath + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "Data set " + m_base + " is being written by another run"
                                  : "Cannot lock " + lockPath + ": " + std::strerror(errno);
    ::close(m_lock);
    m_lock = -1;
    return false;
  }
  switch (m_previous.Read(ManifestPath(m_base), error)) {
    case CManifest::ReadResult::kMissing:
      m_hasManifest = false;
      break;
    case CManifest::ReadResult::kFailed:
      *error += " (remove it to write the data set anew)";
      return false;
    case CManifest::ReadResult::kRead:
      m_hasManifest = true;
      if (!FinishCommit(m_base, m_previous, error)) return false;
      if (m_previous.generation == INT64_MAX) {
        *error = "Data set " + m_base + " is at the last generation number " +
                 std::to_string(m_previous.generation) + " (remove " + ManifestPath(m_base) +
                 " to write the data set anew)";
        return false;
      }
      break;
  }
  m_began = true;
  RemoveLeftovers();
  m_generation = m_hasManifest ? m_previous.generation + 1 : 1;
  return true;
}

bool CDataSetWriter::SchemaUsedByAnother(const CFieldInfo& schema, std::string* user) const {
  const std::string bytes = schema.EncodeBinary();
  const tFILE_IDENTITY wanted = IdentifyBytes(bytes.data(), bytes.size());
  tFILE_IDENTITY current;
  std::string reason;
  if (!IdentifyFile(m_schemaPath, &current, &reason) || current == wanted) return false;
  const std::string ownManifest = Absolute(ManifestPath(m_base));
  std::vector<std::string> folders = {FolderOf(m_schemaPath)};
  if (Absolute(FolderOf(m_base) + "/x") != Absolute(FolderOf(m_schemaPath) + "/x")) {
    folders.push_back(FolderOf(m_base));
  }
  for (const std::string& folder : folders) {
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) continue;
    std::vector<std::string> manifests;
    while (dirent* entry = ::readdir(directory)) {
      const std::string name = entry->d_name;
      std::string base;
      if (ParseManifestPath(name, &base)) manifests.push_back(folder + "/" + name);
    }
    ::closedir(directory);
    for (const std::string& path : manifests) {
      if (Absolute(path) == ownManifest) continue;
      CManifest other;
      if (other.Read(path, &reason) != CManifest::ReadResult::kRead) continue;
      if (other.schemaPath == m_schemaAbsolute && other.schema == current) {
        return ParseManifestPath(path, user);
      }
    }
  }
  return false;
}

void CDataSetWriter::WriteSchema(const CFieldInfo& schema) {
  const std::string bytes = schema.EncodeBinary();
  m_schemaIdentity = IdentifyBytes(bytes.data(), bytes.size());
  m_schemaPending = m_hasManifest && m_previous.schemaPath == m_schemaAbsolute &&
                    m_previous.schema != m_schemaIdentity;
  Step("schema");
  const std::string path = m_schemaPending ? PendingPath(m_schemaPath, m_generation) : m_schemaPath;
  schema.SaveBinary(path.c_str());
  Step("schema written");
}

bool CDataSetWriter::SameInputsAsPrevious(std::string* why) const {
  if (!m_hasManifest) {
    *why = "there is no committed data set";
  } else if (m_trieIdentity != m_previous.trie) {
    *why = "the dictionary trie is not the one the committed data set was built with";
  } else if (m_wordListIdentity != m_previous.wordList) {
    *why = "the word list is not the one the committed data set was built with";
  } else if (m_schemaIdentity != m_previous.schema) {
    *why = "the schema is not the one the committed data set was built with";
  } else {
    return true;
  }
  return false;
}

bool CDataSetWriter::IdentifyInputs(const std::string& triePath, const std::string& wordListPath,
                                    std::string* error) {
  std::string reason;
  if (!IdentifyFile(triePath, &m_trieIdentity, &reason)) {
    *error = triePath + ": " + reason;
    return false;
  }
  if (!IdentifyFile(wordListPath, &m_wordListIdentity, &reason)) {
    *error = wordListPath + ": " + reason;
    return false;
  }
  return true;
}

bool CDataSetWriter::Commit(int indexCount, int32_t recordCount, std::string* error) {
  Step("commit");
  CManifest manifest;
  manifest.generation = m_generation;
  manifest.recordCount = recordCount;
  manifest.trie = m_trieIdentity;
  manifest.wordList = m_wordListIdentity;
  manifest.schemaPath = m_schemaAbsolute;
  manifest.lastKey = m_lastKey;
  manifest.changeMark = m_changeMark;

  // The files that move at the commit, with the identity each is recorded under.
  struct tMove {
    std::string pending;
    std::string final;
    const tFILE_IDENTITY* identity;
  };
  std::vector<tMove> moves;
  if (m_shareData) {
    // The data files stay as the committed generation has them; only the files this run
    // saved (the deletion list, new sort keys) are written.
    manifest.dataLine = m_previous.dataLine;
    manifest.indexes = m_previous.indexes;
    manifest.contains = m_previous.contains;
    manifest.chars = m_previous.chars;
    manifest.lengths = m_previous.lengths;
    manifest.hasKeys = m_previous.hasKeys;
    manifest.keys = m_previous.keys;
  } else {
    manifest.indexes.resize(static_cast<size_t>(std::max(indexCount, 0)));
    manifest.contains = m_charCount >= 0;
    manifest.chars.resize(static_cast<size_t>(std::max(m_charCount, 0)));
  }
  if (m_keysSaved) manifest.hasKeys = true;
  manifest.hasDeleted = m_deletedSaved;
  manifest.deltaRecords = m_deltaRecords;
  if (m_deltaRecords >= 0) {
    manifest.deltaIndexes.resize(manifest.indexes.size());
    manifest.deltaChars.resize(manifest.chars.size());
  }
  for (const tDATA_FILE& file : ManifestDataFiles(m_base, &manifest)) {
    const bool own =
        file.path.compare(0, DeltaBase(m_base).size() + 1, DeltaBase(m_base) + ".") != 0;
    const bool saved = file.identity == &manifest.keys      ? m_keysSaved
                       : file.identity == &manifest.deleted ? m_deletedSaved
                       : !own                               ? true
                                                            : !m_shareData;
    if (!saved) continue;
    moves.push_back({PendingPath(file.path, m_generation), file.path, file.identity});
    if (!SyncAndIdentify(moves.back().pending, file.identity, error)) return false;
  }
  const std::string schemaWritten =
      m_schemaPending ? PendingPath(m_schemaPath, m_generation) : m_schemaPath;
  if (m_schemaPending) moves.push_back({schemaWritten, m_schemaPath, &manifest.schema});
  if (!SyncAndIdentify(schemaWritten, &manifest.schema, error)) return false;
  if (manifest.schema != m_schemaIdentity) {
    *error = schemaWritten + " does not hold the schema this run wrote";
    return false;
  }
  // The pending names must be durable before the manifest that relies on them.
  // The schema's folder too when the schema went straight to its final name: the manifest
  // records the new bytes.
  SyncFolder(FolderOf(m_base));
  SyncFolder(FolderOf(m_schemaPath));
  Step("files synced");

  const std::string manifestPath = ManifestPath(m_base);
  const std::string temporary = manifestPath + ".tmp";
  if (!WriteDurably(temporary, manifest.Format(), error)) return false;
  Step("manifest written");
  if (std::rename(temporary.c_str(), manifestPath.c_str()) != 0) {
    *error = manifestPath + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  m_committed = true;
  Step("manifest committed");
  if (!SyncFolder(FolderOf(m_base))) {
    *error = "cannot flush the folder of " + manifestPath;
    return false;
  }
  Step("folder synced");

  for (const tMove& move : moves) {
    if (std::rename(move.pending.c_str(), move.final.c_str()) != 0 &&
        !MovedByLoader(move.final, move.identity->size)) {
      *error = "rename " + move.pending + ": " + std::strerror(errno) + " (generation " +
               std::to_string(m_generation) + " is committed; the next load finishes it)";
      return false;
    }
    Step("renamed");
  }
  // Index files of the previous generation beyond this one's count belong to no generation.
  for (size_t k = manifest.indexes.size(); k < m_previous.indexes.size(); ++k) {
    std::remove(IndexPath(m_base, k).c_str());
  }
  // So do contains files that this generation does not list.
  if (m_hasManifest && m_previous.contains) {
    for (size_t k = manifest.chars.size(); k < m_previous.chars.size(); ++k) {
      std::remove(CharsPath(m_base, k + 1).c_str());
    }
    if (!manifest.contains) std::remove(LengthsPath(m_base).c_str());
  }
  if (!manifest.hasKeys) std::remove(KeysPath(m_base).c_str());
  if (!manifest.hasDeleted) std::remove(DeletedPath(m_base).c_str());
  // The files of a delta this generation does not have.
  if (m_hasManifest && m_previous.deltaRecords >= 0) {
    CManifest old = m_previous;
    std::vector<tDATA_FILE> files = ManifestDataFiles(m_base, &old);
    CManifest kept = manifest;
    std::vector<tDATA_FILE> keptFiles = ManifestDataFiles(m_base, &kept);
    for (const tDATA_FILE& file : files) {
      bool listed = false;
      for (const tDATA_FILE& mine : keptFiles) listed = listed || mine.path == file.path;
      if (!listed) std::remove(file.path.c_str());
    }
  }
  SyncFolder(FolderOf(m_base));
  if (m_schemaPending) SyncFolder(FolderOf(m_schemaPath));
  Step("done");
  return true;
}
