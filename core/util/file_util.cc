#include "core/util/file_util.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

FilePtr OpenFile(const std::string& path, const char* mode) {
  return FilePtr(std::fopen(path.c_str(), mode));
}

int64_t FileSize(std::FILE* file) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0) return -1;
  return static_cast<int64_t>(status.st_size);
}

int ReadWholeFile(const std::string& path, std::string* contents) {
  contents->clear();
  FilePtr file = OpenFile(path, "rb");
  if (!file) return 0;
  int64_t size = FileSize(file.get());
  if (size <= 0 || size >= INT_MAX) return 0;
  contents->resize(static_cast<size_t>(size));
  if (std::fread(&(*contents)[0], 1, contents->size(), file.get()) != contents->size()) {
    contents->clear();
    return 0;
  }
  return static_cast<int>(size);
}

bool IsInList(int32_t key, const int32_t* list, int count) {
  for (int i = 0; i < count; ++i) {
    if (list[i] == key) return true;
  }
  return false;
}

CPendingFile::CPendingFile(std::string path)
    : m_path(std::move(path)), m_tempPath(m_path + ".tmp") {}

CPendingFile::~CPendingFile() {
  m_file.reset();
  if (!m_committed) std::remove(m_tempPath.c_str());
}

bool CPendingFile::Open() {
  m_file = OpenFile(m_tempPath, "wb");
  m_failed = !m_file;
  return !m_failed;
}

bool CPendingFile::Write(const void* data, size_t size) {
  if (m_failed || !m_file) return false;
  if (size > 0 && std::fwrite(data, 1, size, m_file.get()) != size) m_failed = true;
  return !m_failed;
}

bool CPendingFile::Finish() {
  if (!m_file) return false;
  if (std::fflush(m_file.get()) != 0) m_failed = true;
  if (std::fclose(m_file.release()) != 0) m_failed = true;
  m_finished = !m_failed;
  return m_finished;
}

bool CPendingFile::Commit() {
  if (!m_finished || m_committed) return m_committed;
  if (std::rename(m_tempPath.c_str(), m_path.c_str()) != 0) return false;
  m_committed = true;
  return true;
}

bool ReplaceFile(const char* path, const std::string& data) {
  static std::atomic<unsigned> sequence{0};
  const std::string target(path);
  // The temporary sits in the target's folder (so the rename stays within one file system)
  // under a short name of its own, so that any name the target may have leaves room for it.
  const size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  char name[64];
  std::snprintf(name, sizeof name, ".trindle-%ld-%u.tmp", static_cast<long>(::getpid()),
                sequence.fetch_add(1, std::memory_order_relaxed));
  const std::string temporary = folder + name;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  size_t written = 0;
  while (ok && written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // An existing document is swapped with the new one in one step and then removed under the
  // temporary name. A plain rename over it would do the same for readers, but some file
  // systems (ext4) flush the new file's data to disk on such a rename, which costs far more
  // than the whole exchange with the server; a result document needs no such durability.
  // Only a regular file is swapped: anything else at the path (a folder) must make the call
  // fail, as the plain rename does.
  struct stat existing;
  if (::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
      ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    ::unlink(temporary.c_str());
    return true;
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}
