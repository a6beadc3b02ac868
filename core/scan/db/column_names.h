// CColumnNames: the column names of one result, in GBK, looked up by name without regard to
// ASCII case. Only single-byte characters are folded: the second byte of a GBK character
// may be an ASCII letter and must be compared exactly. The scan asks for the same few names
// row after row, so the positions of earlier answers are remembered.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/text/gbk_chars.h"

class CColumnNames {
 public:
  CColumnNames() = default;
  virtual ~CColumnNames() = default;

  void Add(std::string gbkName) { m_names.push_back(Fold(gbkName)); }
  int GetCount() const { return static_cast<int>(m_names.size()); }

  // Position of the first column called `name`, or -1.
  int Find(const char* name) const {
    auto cached = m_found.find(name);
    if (cached != m_found.end()) return cached->second;
    std::string folded = Fold(name);
    int position = -1;
    for (size_t i = 0; i < m_names.size() && position < 0; ++i) {
      if (m_names[i] == folded) position = static_cast<int>(i);
    }
    m_found.emplace(name, position);
    return position;
  }

  // `text` with the capitals of its single-byte characters in lower case.
  static std::string Fold(const std::string& text) {
    std::string folded = text;
    for (size_t i = 0; i < folded.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(folded[i]);
      if (gbk::IsLeadByte(c)) {
        ++i;  // skip the second byte of a two-byte character
      } else if (c >= 'A' && c <= 'Z') {
        folded[i] = static_cast<char>(c - 'A' + 'a');
      }
    }
    return folded;
  }

 private:
  std::vector<std::string> m_names;                      // folded
  mutable std::unordered_map<std::string, int> m_found;  // asked name -> position
};
