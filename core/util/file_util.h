// File helpers shared by every loader and writer: RAII stdio handles, whole-file reads,
// atomic replacement of saved files, and the integer membership test of the filters.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Closes the file, and holds the stdio buffer OpenFile gave it (freed after the close, when
// the handle goes).
struct FileCloser {
  std::unique_ptr<char[]> buffer;
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen with an owning handle; null when the file cannot be opened. With `bufferBytes`, the
// file reads and writes through a buffer of that size (large sequential files: stdio's own
// is a few KiB, and setvbuf without a buffer of the caller's keeps it).
FilePtr OpenFile(const std::string& path, const char* mode, size_t bufferBytes = 0);

// Closes the file now (and frees its buffer); false when fclose reports a failure (a write
// that did not reach the file). The handle is empty afterwards.
bool CloseFile(FilePtr* file);

// Reads the whole file into *contents (which then holds exactly the file's bytes; c_str()
// gives the NUL-terminated form). Returns the number of bytes, 0 on any failure, for an
// empty file and for a file of 2 GiB or more.
int ReadWholeFile(const std::string& path, std::string* contents);

// Size of an open file in bytes, or -1.
int64_t FileSize(std::FILE* file);

// True when one of the first `count` entries of `list` equals `key`; false for count <= 0.
bool IsInList(int32_t key, const int32_t* list, int count);

// Writes `data` to `path`. A regular file (or none) is replaced whole: written to a temporary
// file in the same folder (".trindle-<pid>-<n>.tmp", a short name whatever the target's; a
// leftover of that name can only be a killed process's with this pid and is removed) that is
// moved into place in one step, so a reader sees the old file or the new one, never a part.
// A symbolic link is followed and the file it names replaced, the link kept. What is neither
// a regular file nor a folder (a device, a FIFO, /dev/stdout and the other descriptor links)
// is written into as it is, never replaced. A folder fails. On failure the temporary is
// removed and any earlier file is left as it was. The new file gets the permissions of a
// newly created file (0666 less the umask). Thread-safe. Durability is not asked for (no
// flush to disk): for result documents, which a crash may lose but never cut.
bool ReplaceFile(const char* path, const std::string& data);

// Flushes `file`'s buffer and asks the system to start writing its pages to disk without
// waiting for them, so that a later fsync of a large file finds little left to do. Best
// effort: nothing is reported.
void StartWriteBack(std::FILE* file);

// A file written beside its final name ("<path>.tmp") and moved into place by Commit, so an
// interrupted or failed save never leaves a truncated file under the real name. Destroying
// an uncommitted file removes the temporary.
class CPendingFile {
 public:
  explicit CPendingFile(std::string path);
  ~CPendingFile();
  CPendingFile(const CPendingFile&) = delete;
  CPendingFile& operator=(const CPendingFile&) = delete;

  // Creates the temporary (written through a buffer of `bufferBytes`, if given); false when
  // it cannot.
  bool Open(size_t bufferBytes = 0);
  std::FILE* get() const { return m_file.get(); }
  bool Write(const void* data, size_t size);  // false once any write has failed
  // Flushes and closes; false if anything failed. With `writeBack` (large files that are
  // synced later) the system starts writing the pages to disk at once.
  bool Finish(bool writeBack = false);
  bool Commit();  // renames into place (after Finish)
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  std::string m_tempPath;
  FilePtr m_file;
  bool m_failed = false;
  bool m_finished = false;
  bool m_committed = false;
};

// The folder part of `path`: "." when it has none, "/" for a file in the root folder.
std::string FolderOf(const std::string& path);
// The part of `path` after its last '/'.
std::string FileNameOf(const std::string& path);
// Flushes the entries of `folder` (renames and new files in it) to disk. False when the
// folder cannot be opened or flushed.
bool SyncFolder(const std::string& folder);
