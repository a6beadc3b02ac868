#include "testing/trie_test_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

std::string ScratchPath(const std::string& name) {
  static const std::string directory = [] {
    const char* root = std::getenv("TMPDIR");
    std::string path = std::string(root != nullptr ? root : "/tmp") + "/trie_tests_" +
                       std::to_string(static_cast<long>(getpid()));
    mkdir(path.c_str(), 0700);
    return path;
  }();
  return directory + "/" + name;
}

std::string WriteScratchFile(const std::string& name, const std::string& bytes) {
  std::string path = ScratchPath(name);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path;
}

std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  std::fclose(file);
  return bytes;
}
