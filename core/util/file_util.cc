#include "core/util/file_util.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

FilePtr OpenFile(const std::string& path, const char* mode, size_t bufferBytes) {
  FilePtr file(std::fopen(path.c_str(), mode));
  if (file && bufferBytes > 0) {
    std::unique_ptr<char[]> buffer(new char[bufferBytes]);
    if (std::setvbuf(file.get(), buffer.get(), _IOFBF, bufferBytes) == 0) {
      file.get_deleter().buffer = std::move(buffer);
    }
  }
  return file;
}

bool CloseFile(FilePtr* file) {
  if (!*file) return true;
  const bool closed = std::fclose(file->release()) == 0;
  file->get_deleter().buffer.reset();
  return closed;
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

void StartWriteBack(std::FILE* file) {
  if (file == nullptr || std::fflush(file) != 0) return;
  ::sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

CPendingFile::CPendingFile(std::string path)
    : m_path(std::move(path)), m_tempPath(m_path + ".tmp") {}

CPendingFile::~CPendingFile() {
  m_file.reset();
  if (!m_committed) std::remove(m_tempPath.c_str());
}

bool CPendingFile::Open(size_t bufferBytes) {
  m_file = OpenFile(m_tempPath, "wb", bufferBytes);
  m_failed = !m_file;
  return !m_failed;
}

bool CPendingFile::Write(const void* data, size_t size) {
  if (m_failed || !m_file) return false;
  if (size > 0 && std::fwrite(data, 1, size, m_file.get()) != size) m_failed = true;
  return !m_failed;
}

bool CPendingFile::Finish(bool writeBack) {
  if (!m_file) return false;
  if (std::fflush(m_file.get()) != 0) m_failed = true;
  if (writeBack && !m_failed) StartWriteBack(m_file.get());
  if (!CloseFile(&m_file)) m_failed = true;
  m_finished = !m_failed;
  return m_finished;
}

bool CPendingFile::Commit() {
  if (!m_finished || m_committed) return m_committed;
  if (std::rename(m_tempPath.c_str(), m_path.c_str()) != 0) return false;
  m_committed = true;
  return true;
}

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

// Writes `data` into what `path` already is (a device, a FIFO, a descriptor of the process
// named through /proc or /dev/fd), without replacing it.
bool WriteThrough(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data);
  if (::close(fd) != 0) ok = false;
  return ok;
}

// True when `path` lies in /proc once the links of its folder are followed: /dev/fd/<n> is
// /proc/self/fd/<n>, whatever the name used.
bool InProc(const std::string& path) {
  if (path.compare(0, 6, "/proc/") == 0) return true;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  char* folder = ::realpath(slash == 0 ? "/" : path.substr(0, slash).c_str(), nullptr);
  if (folder == nullptr) return false;
  const bool inProc = std::strncmp(folder, "/proc/", 6) == 0;
  std::free(folder);
  return inProc;
}

// Where a document for `path` goes. Symbolic links are followed to the name they lead to
// (relative links from their own folder), so that the file the link names is replaced and
// the link stays. *through is set when the chain passes through /proc (/dev/stdout,
// /dev/fd/<n>, /proc/self/fd/<n>): those links name open descriptors, not files (the file
// may have been renamed or removed since it was opened), and are written through. False for
// a loop of links.
bool ResolveTarget(const std::string& path, std::string* target, bool* through) {
  *target = path;
  *through = false;
  for (int hop = 0; hop < 40; ++hop) {
    if (InProc(*target)) *through = true;
    struct stat status;
    if (::lstat(target->c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return true;
    std::string link(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(target->c_str(), &link[0], link.size());
    if (length <= 0 || static_cast<size_t>(length) >= link.size()) return false;
    link.resize(static_cast<size_t>(length));
    if (link[0] != '/') {
      const size_t slash = target->rfind('/');
      if (slash != std::string::npos) link = target->substr(0, slash + 1) + link;
    }
    *target = link;
  }
  return false;
}

// Creates the temporary beside `folder`'s target: ".trindle-<pid>-<n>.tmp". A file of that
// name can only be the leftover of a killed process that had this pid, so it is removed and
// the name taken.
int CreateTemporary(const std::string& folder, std::string* temporary) {
  static std::atomic<unsigned> sequence{0};
  for (int attempt = 0; attempt < 8; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, ".trindle-%ld-%u.tmp", static_cast<long>(::getpid()),
                  sequence.fetch_add(1, std::memory_order_relaxed));
    *temporary = folder + name;
    int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST && ::unlink(temporary->c_str()) == 0) {
      fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool ReplaceFile(const char* path, const std::string& data) {
  std::string target;
  bool through = false;
  if (!ResolveTarget(path, &target, &through)) return false;
  struct stat existing;
  const bool exists = ::stat(path, &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return false;
  // Only a regular file is replaced; anything else is written into as it is.
  if (exists && (through || !S_ISREG(existing.st_mode))) return WriteThrough(path, data);
  // The temporary sits in the target's folder (so the rename stays within one file system)
  // under a short name of its own, so that any name the target may have leaves room for it.
  const size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string temporary;
  const int fd = CreateTemporary(folder, &temporary);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data);
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // An existing document is swapped with the new one in one step and then removed under the
  // temporary name. A plain rename over it would do the same for readers, but some file
  // systems (ext4) flush the new file's data to disk on such a rename, which costs far more
  // than the whole exchange with the server; a result document needs no such durability.
  if (exists &&
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

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SyncFolder(const std::string& folder) {
  int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return false;
  bool synced = ::fsync(descriptor) == 0;
  ::close(descriptor);
  return synced;
}
