#include "testing/records/served_set.h"

#include "core/text/word_list.h"

const char kServedSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n";

std::string RandomText(std::mt19937* random, const std::vector<std::string>& words, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += words[(*random)() % words.size()];
  return text;
}

CServedSetFixture::CServedSetFixture(const std::vector<std::string>& words,
                                     const std::string& schemaLines)
    : CQueryFixture(words, schemaLines) {}

bool CServedSetFixture::AddRecord(const std::string& title, const std::string& body, int32_t year) {
  return AddRow(
      CMemoryRow{{"TITLE", TextValue(title)}, {"BODY", TextValue(body)}, {"YEAR", IntValue(year)}});
}

bool CServedSetFixture::SaveServedSet(const std::string& base) {
  if (!SaveAndLoad(base)) return false;
  CWordList words;
  return words.BuildFromText(Path("dict.txt").c_str(), trie()) > 0 &&
         words.Save(Path(base + ".words").c_str());
}
