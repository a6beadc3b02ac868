// A deliberately literal model of the dictionary trie build, for tests only: fgets/sscanf
// line reading, a pending list scanned in full for its node with most children on every
// pass, and a base search that tries b = 1, 2, 3, ... for every node. Quadratic, so only
// for small dictionaries; the production builder must produce the same bytes.
#pragma once

#include <map>
#include <string>

class CPDAT;

struct tReferenceTrie {
  std::string image;     // the trie file: code table, N, word count, cells 0..N
  std::string progress;  // what the build prints to standard output
  int wordCount = 0;
  int capacity = 0;         // cells allocated at the end of the build
  int skippedOwnCells = 0;  // bases that fitted but were the word end's own cell
};

// Builds the trie of the dictionary text at `path` (words found in `exclusion` skipped).
tReferenceTrie ReferenceBuildTrie(const char* path, const CPDAT* exclusion = nullptr);

// Word -> word number as the dictionary text defines them (a repeated word keeps the
// number of its later line). `wordCount` receives the number of accepted lines.
std::map<std::string, int> ReferenceDictionary(const char* path, const CPDAT* exclusion = nullptr,
                                               int* wordCount = nullptr);
