#include "core/records/data_set_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/util/file_util.h"

namespace {

constexpr int kCheckAttempts = 3;

std::string Hex(uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", crc);
  return text;
}

// "<what> <path> is 10 bytes, the manifest records 12" or the same for the checksum.
std::string DescribeDifference(const char* what, const std::string& path,
                               const tFILE_IDENTITY& found, const tFILE_IDENTITY& recorded) {
  std::string text = std::string(what) + " " + path;
  if (found.size != recorded.size) {
    return text + " is " + std::to_string(found.size) + " bytes, the manifest records " +
           std::to_string(recorded.size);
  }
  return text + " has checksum " + Hex(found.crc) + ", the manifest records " + Hex(recorded.crc) +
         " (both " + std::to_string(found.size) + " bytes)";
}

// Compares one file with its manifest entry; false with *difference set when it differs or
// cannot be read.
bool Matches(const char* what, const std::string& path, const tFILE_IDENTITY& recorded,
             std::string* difference) {
  tFILE_IDENTITY found;
  std::string reason;
  if (!IdentifyFile(path, &found, &reason)) {
    *difference = std::string(what) + " " + path + " cannot be read (" + reason + ")";
    return false;
  }
  if (found == recorded) return true;
  *difference = DescribeDifference(what, path, found, recorded);
  return false;
}

}  // namespace

std::vector<tDATA_FILE> ManifestDataFiles(const std::string& base, CManifest* manifest) {
  std::vector<tDATA_FILE> files;
  files.push_back({DataLinePath(base), "data-line file", &manifest->dataLine});
  for (size_t k = 0; k < manifest->indexes.size(); ++k) {
    files.push_back({IndexPath(base, k), "index file", &manifest->indexes[k]});
  }
  if (manifest->contains) {
    for (size_t k = 0; k < manifest->chars.size(); ++k) {
      files.push_back({CharsPath(base, k + 1), "contains index", &manifest->chars[k]});
    }
    files.push_back({LengthsPath(base), "field-length file", &manifest->lengths});
  }
  if (manifest->hasKeys) files.push_back({KeysPath(base), "sort-key file", &manifest->keys});
  if (manifest->hasDeleted) {
    files.push_back({DeletedPath(base), "deletion list", &manifest->deleted});
  }
  if (manifest->deltaRecords >= 0) {
    const std::string delta = DeltaBase(base);
    files.push_back({DataLinePath(delta), "delta data-line file", &manifest->deltaDataLine});
    for (size_t k = 0; k < manifest->deltaIndexes.size(); ++k) {
      files.push_back({IndexPath(delta, k), "delta index file", &manifest->deltaIndexes[k]});
    }
    if (manifest->contains) {
      for (size_t k = 0; k < manifest->deltaChars.size(); ++k) {
        files.push_back(
            {CharsPath(delta, k + 1), "delta contains index", &manifest->deltaChars[k]});
      }
      files.push_back({LengthsPath(delta), "delta field-length file", &manifest->deltaLengths});
    }
    files.push_back({DeltaRecordsPath(base), "delta record list", &manifest->deltaRecordList});
  }
  return files;
}

bool FinishCommit(const std::string& base, const CManifest& manifest, std::string* error) {
  std::vector<std::string> finals;
  CManifest copy = manifest;
  for (const tDATA_FILE& file : ManifestDataFiles(base, &copy)) finals.push_back(file.path);
  finals.push_back(manifest.schemaPath);
  bool moved = false;
  for (const std::string& path : finals) {
    std::string pending = PendingPath(path, manifest.generation);
    // Only a pending file that is there is moved: a loader may not even be able to look into
    // the folder mode 4 wrote the schema to, and needs to only when a commit is unfinished.
    struct stat status;
    if (::lstat(pending.c_str(), &status) != 0) continue;
    if (std::rename(pending.c_str(), path.c_str()) == 0) {
      moved = true;
    } else if (errno != ENOENT) {
      *error = "cannot finish the commit of generation " + std::to_string(manifest.generation) +
               ": rename " + pending + ": " + std::strerror(errno);
      return false;
    }
  }
  if (moved) {
    SyncFolder(FolderOf(base));
    SyncFolder(FolderOf(manifest.schemaPath));
  }
  return true;
}

bool CheckDataSet(const tDataSetPaths& paths, tDATA_SET_CHECK* result) {
  const std::string& base = paths.base;
  const std::string& schemaPath = paths.schema;
  const std::string& triePath = paths.trie;
  const std::string& wordListPath = paths.wordList;
  const std::string manifestPath = ManifestPath(base);
  for (int attempt = 1;; ++attempt) {
    CManifest manifest;
    std::string error;
    switch (manifest.Read(manifestPath, &error)) {
      case CManifest::ReadResult::kMissing: {
        result->generation = 0;
        result->recordCount = -1;
        result->message.clear();
        struct stat status;
        result->contains = ::stat(LengthsPath(base).c_str(), &status) == 0;
        result->deleted = ::stat(DeletedPath(base).c_str(), &status) == 0;
        result->delta = ::stat(DeltaRecordsPath(base).c_str(), &status) == 0;
        return true;
      }
      case CManifest::ReadResult::kFailed:
        result->message = "Data set " + base + " cannot be checked: " + error;
        return false;
      case CManifest::ReadResult::kRead:
        break;
    }
    if (!FinishCommit(base, manifest, &error)) {
      result->message = "Data set " + base + ": " + error;
      return false;
    }
    std::string difference;
    bool same = Matches("trie", triePath, manifest.trie, &difference) &&
                Matches("word list", wordListPath, manifest.wordList, &difference) &&
                Matches("binary schema", schemaPath, manifest.schema, &difference);
    for (const tDATA_FILE& file : ManifestDataFiles(base, &manifest)) {
      if (!same) break;
      same = Matches(file.what, file.path, *file.identity, &difference);
    }
    if (same) {
      result->generation = manifest.generation;
      result->recordCount = manifest.recordCount;
      result->contains = manifest.contains;
      result->deleted = manifest.hasDeleted;
      result->delta = manifest.deltaRecords >= 0;
      result->message.clear();
      return true;
    }
    // A new generation committed while this one was read: check that one instead.
    if (attempt < kCheckAttempts && ReadDataSetGeneration(base) != manifest.generation) continue;
    result->message = "Data set " + base + " does not match " + manifestPath + " (generation " +
                      std::to_string(manifest.generation) + "): " + difference;
    return false;
  }
}

int64_t ReadDataSetGeneration(const std::string& base) {
  CManifest manifest;
  std::string error;
  switch (manifest.Read(ManifestPath(base), &error)) {
    case CManifest::ReadResult::kMissing:
      return 0;
    case CManifest::ReadResult::kFailed:
      return -1;
    case CManifest::ReadResult::kRead:
      break;
  }
  return manifest.generation;
}
