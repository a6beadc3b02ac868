#include "testing/records/store_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "core/util/daily_log.h"
#include "core/util/file_util.h"

CScratchDirectory::CScratchDirectory() {
  char previous[PATH_MAX];
  if (getcwd(previous, sizeof previous) != nullptr) m_previous = previous;
  char pattern[] = "/tmp/records_test_XXXXXX";
  if (mkdtemp(pattern) != nullptr) m_path = pattern;
  if (!m_path.empty() && chdir(m_path.c_str()) != 0) m_path.clear();
  CloseDailyLog();  // the log of the next line is the new directory's
}

CScratchDirectory::~CScratchDirectory() {
  CloseDailyLog();
  if (!m_previous.empty() && chdir(m_previous.c_str()) != 0) return;
  if (!m_path.empty()) {
    std::string command = "rm -rf '" + m_path + "'";
    if (std::system(command.c_str()) != 0) return;
  }
}

std::string ReadDailyLog() {
  char name[32];
  std::time_t now = std::time(nullptr);
  std::strftime(name, sizeof name, "%Y%m%d.log", std::localtime(&now));
  return ReadBinaryFile(name);
}

bool WriteTextFile(const std::string& path, const std::string& bytes) {
  FilePtr file = OpenFile(path, "wb");
  if (!file) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

std::string ReadBinaryFile(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, &bytes);
  return bytes;
}

bool FileExists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

const char kDocsSchema[] =
    "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n"
    "1 id id I 0 1 1 0 编号\n"
    "2 title title T 1 0 1 1 标题\n"
    "3 body body T 1 0 1 1 正文\n"
    "4 year year I 0 1 1 0 年份\n";

CQuietStdout::CQuietStdout() {
  std::fflush(stdout);
  m_saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}

CQuietStdout::~CQuietStdout() {
  std::fflush(stdout);
  if (m_saved >= 0) {
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
  }
}

bool BuildTestTrie(const std::vector<std::string>& words, const std::string& dictionaryPath,
                   CPDAT* trie) {
  std::string text;
  for (const std::string& word : words) text += word + " 1 n\n";
  if (!WriteTextFile(dictionaryPath, text)) return false;
  CQuietStdout quiet;
  return trie->BuildFromText(dictionaryPath.c_str()) == static_cast<int>(words.size());
}

bool WriteTestDictionary(const std::vector<std::string>& words, const std::string& folder) {
  CPDAT trie;
  if (!BuildTestTrie(words, folder + "/dict.txt", &trie) ||
      !trie.Save((folder + "/dict.pdat").c_str())) {
    return false;
  }
  CWordList list;
  {
    CQuietStdout quiet;
    list.BuildFromText((folder + "/dict.txt").c_str(), trie);
  }
  return list.Save((folder + "/dict.words").c_str());
}

std::map<std::string, std::string> FilesWithPrefix(const std::string& folder,
                                                   const std::string& prefix) {
  std::map<std::string, std::string> files;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return files;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0) {
      files[name] = ReadBinaryFile(folder + "/" + name);
    }
  }
  closedir(directory);
  return files;
}
