// Helpers of the records, scan and indexer-mode tests: a private scratch directory that is
// also the working directory while a test runs (the daily log and "Dat/Standard.dataline"
// are relative to it), the text of today's daily log, small files, and a trie built from a
// word list.
#pragma once

#include <map>
#include <string>
#include <vector>

class CPDAT;

// Creates a fresh directory under /tmp, makes it the working directory, and on destruction
// returns to the previous one and removes the directory with everything in it.
class CScratchDirectory {
 public:
  CScratchDirectory();
  virtual ~CScratchDirectory();
  CScratchDirectory(const CScratchDirectory&) = delete;
  CScratchDirectory& operator=(const CScratchDirectory&) = delete;

  const std::string& path() const { return m_path; }
  std::string Path(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
  std::string m_previous;
};

// The content of today's daily log in the working directory ("" when there is none).
std::string ReadDailyLog();

bool WriteTextFile(const std::string& path, const std::string& bytes);

// The files of `folder` whose names start with `prefix`, name -> bytes (the state of a data
// set to compare before and after a run; pending files show up as extra names).
std::map<std::string, std::string> FilesWithPrefix(const std::string& folder,
                                                   const std::string& prefix);
std::string ReadBinaryFile(const std::string& path);
bool FileExists(const std::string& path);

// Builds `trie` from `words` (written as "word 1 n" lines to `dictionaryPath`); the build's
// console lines are swallowed. True when every word was accepted.
bool BuildTestTrie(const std::vector<std::string>& words, const std::string& dictionaryPath,
                   CPDAT* trie);
// Sends standard output to /dev/null while it lives: the dictionary builds and the store
// print a line per word or record.
class CQuietStdout {
 public:
  CQuietStdout();
  ~CQuietStdout();
  CQuietStdout(const CQuietStdout&) = delete;
  CQuietStdout& operator=(const CQuietStdout&) = delete;

 private:
  int m_saved = -1;
};

// The schema text (GBK) of the table docs(id, title, body, year) that the indexer tests
// build from: id and year stored filters, title and body indexed into the all-fields index
// (so it holds tagged positions) and stored.
extern const char kDocsSchema[];

// The dictionary files that mode 4 runs with in the tests, from `words`: <folder>/dict.txt,
// its trie <folder>/dict.pdat and its word list <folder>/dict.words. True when all were written.
bool WriteTestDictionary(const std::vector<std::string>& words, const std::string& folder);
