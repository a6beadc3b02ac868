#include "core/util/file_util.h"

#include <sys/stat.h>

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
