// CMappedFile: a whole file mapped read-only into memory. The pages are the page cache's own
// (nothing is copied, and a file that is already cached costs no disk read), and they are
// faulted in at once, so the first reader pays nothing later. The mapping lives until the
// object is destroyed.
//
// The file must not be shortened while it is mapped: reading a page past the new end raises
// SIGBUS. The writers of this engine replace files by rename, which leaves a mapped file
// untouched. In a process that called InstallMappedFileGuard, such a read instead finds a page
// of zeros and marks the mapping faulted(), so that its user can refuse what it read; without
// the guard (or for an address no mapping of this class holds) SIGBUS ends the process as
// before. Thread safety: data() may be read from any number of threads.
#pragma once

#include <cstddef>

class CMappedFile {
 public:
  CMappedFile() = default;
  virtual ~CMappedFile();
  CMappedFile(const CMappedFile&) = delete;
  CMappedFile& operator=(const CMappedFile&) = delete;

  // Maps the file at `path`; false (nothing mapped) when it cannot be opened or mapped. An
  // empty file maps as size 0 with a non-null data(). With `faultIn` false the pages are
  // read when first touched instead (a file that is written and perhaps never read again).
  bool Map(const char* path, bool faultIn = true);

  const char* data() const { return m_data; }
  size_t size() const { return m_size; }

  // True once a read of the mapping went past the end of its (shortened) file; what was read
  // there since is zeros, not the file.
  bool faulted() const;

 private:
  void Unregister();

  const char* m_data = nullptr;
  size_t m_size = 0;
  bool m_mapped = false;
  int m_slot = -1;  // in the guard's table of mappings; -1: not guarded
};

// Installs the process's SIGBUS handler for mapped files (see above). Idempotent; call it before
// the threads that read mappings start.
void InstallMappedFileGuard();
