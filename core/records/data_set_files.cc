#include "core/records/data_set_files.h"

namespace {

constexpr char kManifestSuffix[] = ".manifest";

// The length of the run of decimal digits that starts at `from`.
size_t DigitsAt(const std::string& text, size_t from) {
  size_t end = from;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return end - from;
}

// True for "<digits>" followed by ".tmp" any number of times (what follows ".g" in a pending
// name).
bool IsGenerationTail(const std::string& tail) {
  size_t end = DigitsAt(tail, 0);
  if (end == 0) return false;
  while (end < tail.size() && tail.compare(end, 4, ".tmp") == 0) end += 4;
  return end == tail.size();
}

}  // namespace

std::string DataLinePath(const std::string& base) { return base + ".dataline"; }

std::string IndexPath(const std::string& base, size_t k) {
  return base + ".index_" + std::to_string(k);
}

std::string CharsPath(const std::string& base, size_t k) {
  return base + ".chars_" + std::to_string(k);
}

std::string LengthsPath(const std::string& base) { return base + ".lengths"; }

std::string ManifestPath(const std::string& base) { return base + kManifestSuffix; }

std::string LockPath(const std::string& base) { return base + ".lock"; }

std::string DeletedPath(const std::string& base) { return base + ".deleted"; }

std::string KeysPath(const std::string& base) { return base + ".keys"; }

std::string DeltaBase(const std::string& base) { return base + ".delta"; }

std::string DeltaRecordsPath(const std::string& base) { return base + ".delta.records"; }

std::string PendingSuffix(int64_t generation) { return ".g" + std::to_string(generation); }

std::string PendingPath(const std::string& finalPath, int64_t generation) {
  return finalPath + PendingSuffix(generation);
}

bool IsPendingName(const std::string& name, const std::string& finalName) {
  return name.size() > finalName.size() + 2 && name.compare(0, finalName.size(), finalName) == 0 &&
         name.compare(finalName.size(), 2, ".g") == 0 &&
         IsGenerationTail(name.substr(finalName.size() + 2));
}

bool IsPendingDataFile(const std::string& name, const std::string& baseName) {
  if (name.compare(0, baseName.size() + 1, baseName + ".") != 0) return false;
  const std::string rest = name.substr(baseName.size() + 1);
  if (IsPendingName(rest, "dataline")) return true;
  // The spilled sections and runs: "spill.g<digits>" and what follows.
  if (rest.compare(0, 7, "spill.g") == 0) {
    const size_t end = 7 + DigitsAt(rest, 7);
    return end > 7 && (end == rest.size() || rest[end] == '.');
  }
  if (IsPendingName(rest, "lengths") || IsPendingName(rest, "keys") ||
      IsPendingName(rest, "deleted") || IsPendingName(rest, "delta.records")) {
    return true;
  }
  // The delta's files are the data files of the base name <base>.delta.
  if (rest.compare(0, 6, "delta.") == 0 && IsPendingDataFile(name, baseName + ".delta")) {
    return true;
  }
  for (const std::string prefix : {"index_", "chars_"}) {
    if (rest.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t digits = DigitsAt(rest, prefix.size());
    return digits > 0 && IsPendingName(rest, rest.substr(0, prefix.size() + digits));
  }
  return false;
}

std::string SpillPrefix(const std::string& base, int64_t generation) {
  return base + ".spill" + PendingSuffix(generation);
}

std::string SpillCellsPath(const std::string& spillPrefix) { return spillPrefix + ".cells"; }

std::string SpillPoolPath(const std::string& spillPrefix) { return spillPrefix + ".pool"; }

std::string SpillFiltersPath(const std::string& spillPrefix) { return spillPrefix + ".filters"; }

std::string RunPath(const std::string& indexStem, int run) {
  return indexStem + ".run" + std::to_string(run);
}

bool ParseManifestPath(const std::string& path, std::string* base) {
  const size_t suffix = sizeof kManifestSuffix - 1;
  if (path.size() <= suffix || path.compare(path.size() - suffix, suffix, kManifestSuffix) != 0) {
    return false;
  }
  *base = path.substr(0, path.size() - suffix);
  return true;
}
