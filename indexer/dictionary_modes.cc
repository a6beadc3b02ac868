// indexer modes 1 and 2: the dictionary trie and the word list.
#include <cstdio>

#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/exit_status.h"
#include "indexer/modes.h"

int RunDictionaryMode(const char* dictionaryText, const char* trieFile) {
  CPDAT trie;
  if (trie.BuildFromText(dictionaryText) == 0) {
    std::printf("Error Load %s\n", dictionaryText);
    return exit_status::kBadInput;
  }
  if (!trie.Save(trieFile)) {
    std::printf("Error Save %s\n", trieFile);
    return exit_status::kOutput;
  }
  return exit_status::kSuccess;
}

int RunWordListMode(const char* wordListText, const char* wordListFile, const char* trieFile) {
  // A trie that fails to load is not fatal by itself: the empty trie knows no word, so the
  // build below then fails with its own message.
  CPDAT trie;
  if (!trie.Load(trieFile)) std::printf("Load %s Error!\n", trieFile);
  CWordList wordList;
  if (wordList.BuildFromText(wordListText, trie) == 0) {
    std::printf("Error Load %s\n", wordListText);
    return exit_status::kBadInput;
  }
  if (!wordList.Save(wordListFile)) {
    std::printf("Error Save %s\n", wordListFile);
    return exit_status::kOutput;
  }
  return exit_status::kSuccess;
}
