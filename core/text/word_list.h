// CWordList: word number -> word text, the reverse of the dictionary trie. Built once from
// a word-list text and a trie (indexer mode 2) or loaded; read-only afterwards, so any
// number of threads may call GetWord at once. It must be built with the same trie file the
// rest of the system loads, since its table is indexed by that trie's word numbers.
//
// Word-list file (little-endian int32 unless noted): word count, table size N, N + 1 text
// offsets, text length L, then L bytes of text: the stored words, each followed by a NUL,
// in input order. N is the larger of the trie's highest cell index and its word count, so
// every word number fits (a dictionary with repeated lines numbers words past its highest
// cell index). A table entry of a number that no stored word carries is 0, the offset of the
// first stored word, so GetWord gives such a number that word's text: the format has no mark
// for "no word".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPDAT;

class CWordList {
 public:
  CWordList();
  virtual ~CWordList();
  CWordList(const CWordList&) = delete;
  CWordList& operator=(const CWordList&) = delete;

  // Reads the word-list text (first white-space-delimited word per line, lines read in
  // pieces of at most 1023 bytes) and stores every word `trie` knows, printing
  // "Line %d:%s" for each line that holds a word. Returns the number of words stored; 0
  // when the file cannot be opened (the list is then unchanged) or none of its words is in
  // the trie (the list is then empty).
  int BuildFromText(const char* path, const CPDAT& trie);
  // Writes the word-list file (beside its name, then renamed); false when it cannot.
  bool Save(const char* path) const;
  // Replaces the list by the file's content; false (list unchanged, nothing printed) when
  // the file cannot be read or is damaged: sizes that do not add up to the file's size,
  // offsets outside the text, text not ending in NUL.
  bool Load(const char* path);
  // Text of `wordNumber`, or nullptr when it is negative or not below N, or when the list
  // holds no text. The pointer lives as long as the list is not rebuilt or reloaded.
  const char* GetWord(int wordNumber) const;
  int GetWordCount() const;
  int GetTableSize() const { return m_tableSize; }

 private:
  int32_t m_wordCount = 0;
  int32_t m_tableSize = 0;
  std::vector<int32_t> m_offsets;  // m_tableSize + 1 entries once built or loaded
  std::string m_text;              // the text block; its size is the text length
};
