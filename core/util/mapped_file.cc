#include "core/util/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

CMappedFile::~CMappedFile() {
  if (m_mapped) ::munmap(const_cast<char*>(m_data), m_size);
}

bool CMappedFile::Map(const char* path, bool faultIn) {
  static const char kEmpty[1] = {0};
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return false;
  }
  const size_t size = static_cast<size_t>(status.st_size);
  void* data = const_cast<char*>(kEmpty);
  if (size > 0) {
    data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (faultIn ? MAP_POPULATE : 0), fd, 0);
    if (data == MAP_FAILED) {
      ::close(fd);
      return false;
    }
  }
  ::close(fd);  // the mapping keeps the file
  if (m_mapped) ::munmap(const_cast<char*>(m_data), m_size);
  m_data = static_cast<const char*>(data);
  m_size = size;
  m_mapped = size > 0;
  return true;
}
