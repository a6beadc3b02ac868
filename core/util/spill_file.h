// CSpillFile: one temporary file of a bounded-memory build (sorted runs of postings, the
// stored texts and filter values of records no longer held in memory). It is written front
// to back through a large buffer, read back or copied once, and removed when the object is
// destroyed, whether the build succeeded or not. A write that fails (a full disk included)
// makes every later call fail; the caller turns that into one message naming the file.
//
// Ownership: the object owns the file and its name. Not thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/util/file_util.h"

// Appends `bytes` bytes of the file at `path`, from `offset` on, to `out`. False when the file
// is shorter or a read or write fails.
bool CopyFileRange(const std::string& path, int64_t offset, int64_t bytes, std::FILE* out);

class CSpillFile {
 public:
  explicit CSpillFile(std::string path);
  virtual ~CSpillFile();  // closes and removes the file
  CSpillFile(const CSpillFile&) = delete;
  CSpillFile& operator=(const CSpillFile&) = delete;

  // Creates (or truncates) the file for writing. False when it cannot be created.
  bool Create();
  // Appends bytes; false once any write has failed.
  bool Write(const void* data, size_t size);
  // Flushes what is buffered to the file (which stays open for further writes); false when
  // anything written so far did not reach the file.
  bool Flush();
  // Flushes and closes the file for writing (bytes written through get() count as written;
  // size() then holds the file's length); it can then be read back with OpenForReading.
  bool Close();

  // Appends the whole content of the file (after Flush or Close) to `out`. False when
  // reading or writing fails.
  bool CopyTo(std::FILE* out) const;

  // Opens the closed file for reading front to back, through a buffer of `bufferBytes`.
  FilePtr OpenForReading(size_t bufferBytes) const;

  // The handle being written (for writers that stream into it); null when not open.
  std::FILE* get() const { return m_file.get(); }

  const std::string& path() const { return m_path; }
  int64_t size() const { return m_size; }  // bytes written
  bool failed() const { return m_failed; }

 private:
  std::string m_path;
  FilePtr m_file;
  int64_t m_size = 0;
  bool m_created = false;
  bool m_failed = false;
};
