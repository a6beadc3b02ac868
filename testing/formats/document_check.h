// Checks of result documents and the scratch files of the tests that write them: pages made
// from literal records, a strict XML parser's reading of a document (libxml2, which decodes
// GB2312 and GBK through the platform's converters), xmllint, and an independent GBK to UTF-8
// conversion to compare names and values with.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/query/result_page.h"

// A page of `records`, each holding one value per stored field.
ResultPage MakePage(const std::vector<std::vector<std::string>>& records, int32_t total,
                    int32_t start, int32_t fieldCount);
// A fresh empty folder for one test, removed with everything in it by the destructor.
class CScratchFolder {
 public:
  CScratchFolder();
  ~CScratchFolder();
  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// The whole content of a file, or "<missing>" when it cannot be read.
std::string FileText(const std::string& path);
// The names in `folder`, sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

// A result document as an XML parser reads it: names and values in UTF-8.
struct tParsedDocument {
  bool ok = false;       // well-formed in its declared encoding
  std::string encoding;  // as declared
  std::string total, returned, start;
  bool hasResult = false;  // a "Result" element is present
  std::vector<std::vector<std::pair<std::string, std::string>>> documents;
};
tParsedDocument ParseDocument(const std::string& bytes);

// True when `xmllint --noout` accepts the file.
bool XmllintAccepts(const std::string& path);

// GBK bytes as UTF-8 through the C library's converter in one call, independent of the code
// under test; "<invalid>" when they do not convert.
std::string ReferenceUtf8(const std::string& gbk);

// Runs a shell command; *output receives its standard output. Returns the exit status, or
// -1 when it did not exit normally.
int RunCommand(const std::string& command, std::string* output);
