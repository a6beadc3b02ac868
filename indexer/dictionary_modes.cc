// indexer modes 1 and 2: the dictionary trie and the word list.
#include <cstdio>

#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/modes.h"

int RunDictionaryMode(const char* dictionaryText, const char* trieFile) {
  CPDAT trie;
  if (trie.BuildFromText(dictionaryText) == 0) {
    std::printf("Error Load %s\n", dictionaryText);
    return 1;
  }
  if (!trie.Save(trieFile)) {
    std::printf("Error Save %s\n", trieFile);
    return 1;
  }
  return 0;
}

int RunWordListMode(const char* wordListText, const char* wordListFile, const char* trieFile) {
  // A trie that fails to load is not fatal by itself: the empty trie knows no word, so the
  // build below then fails with its own message.
  CPDAT trie;
  if (!trie.Load(trieFile)) std::printf("Load %s Error!\n", trieFile);
  CWordList wordList;
  if (wordList.BuildFromText(wordListText, trie) == 0) {
    std::printf("Error Load %s\n", wordListText);
    return 1;
  }
  if (!wordList.Save(wordListFile)) {
    std::printf("Error Save %s\n", wordListFile);
    return 1;
  }
  return 0;
}
