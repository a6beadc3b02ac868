#include "fuzz/fuzz_targets.h"

#include <cstdio>
#include <cstdlib>

#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "fuzz/fixture.h"
#include "fuzz/fuzz_entries.h"
#include "testing/records/query_fixture.h"

const std::vector<tFuzzTarget>& FuzzTargets() {
  static const std::vector<tFuzzTarget> targets = {
      {"trie", FuzzTrie, TrieSeeds},
      {"word_list", FuzzWordList, WordListSeeds},
      {"binary_schema", FuzzBinarySchema, BinarySchemaSeeds},
      {"index", FuzzIndex, IndexSeeds},
      {"data_line", FuzzDataLine, DataLineSeeds},
      {"field_lengths", FuzzFieldLengths, FieldLengthsSeeds},
      {"change_files", FuzzChangeFiles, ChangeFilesSeeds},
      {"dictionary_text", FuzzDictionaryText, DictionaryTextSeeds},
      {"schema_text", FuzzSchemaText, SchemaTextSeeds},
      {"tag_value", FuzzTagValue, TagValueSeeds},
      {"db_config", FuzzDbConfig, DbConfigSeeds},
      {"clean_segment", FuzzCleanSegment, CleanSegmentSeeds},
      {"query", FuzzQuery, QuerySeeds},
      {"text_query", FuzzTextQuery, TextQuerySeeds},
      {"parse_request", FuzzParseRequest, ParseRequestSeeds},
      {"unpack_result", FuzzUnpackResult, UnpackResultSeeds},
      {"serve_connection", FuzzServeConnection, ServeConnectionSeeds},
      {"gbk_utf8", FuzzGbkToUtf8, GbkToUtf8Seeds},
  };
  return targets;
}

const tFuzzTarget* FindFuzzTarget(const std::string& name) {
  for (const tFuzzTarget& target : FuzzTargets()) {
    if (name == target.name) return &target;
  }
  return nullptr;
}

void FuzzCheck(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// --- seeds: valid files and texts, written by the engine itself ---------------------------

std::vector<std::string> TrieSeeds() {
  std::vector<std::string> seeds = {ReadWhole(FixtureBase() + ".trie")};
  // Repeated lines: word numbers past the highest cell in use.
  CPDAT repeated;
  std::string dictionary = WriteScratch("seed.dict", "ab\nab\ncd\nab\n");
  repeated.BuildFromText(dictionary.c_str());
  std::string path = ScratchPath("seed.trie");
  if (repeated.Save(path.c_str())) seeds.push_back(ReadWhole(path));
  if (CPDAT().Save(path.c_str())) seeds.push_back(ReadWhole(path));
  return seeds;
}

std::vector<std::string> WordListSeeds() {
  std::string text;
  for (const std::string& word : FixtureWords()) text += word + " 10 n\n";
  std::string textPath = WriteScratch("seed.words.txt", text);
  CWordList list;
  list.BuildFromText(textPath.c_str(), Fixture().trie());
  std::string path = ScratchPath("seed.words");
  std::vector<std::string> seeds;
  if (list.Save(path.c_str())) seeds.push_back(ReadWhole(path));
  return seeds;
}

std::vector<std::string> BinarySchemaSeeds() {
  CFieldInfo small;
  std::string path = WriteScratch("seed.schema.txt", "h\n1 a a T 1 1 1 1 x\n");
  small.ImportText(path.c_str());
  return {ReadWhole(FixtureBase() + ".schema"), small.EncodeBinary()};
}

std::vector<std::string> IndexSeeds() {
  std::vector<std::string> seeds;
  for (int k = 0; k < Fixture().schema().GetListSize(LIST_INDEXED); ++k) {
    seeds.push_back(ReadWhole(IndexPath(FixtureBase(), k)));
  }
  return seeds;
}

std::vector<std::string> DataLineSeeds() { return {ReadWhole(DataLinePath(FixtureBase()))}; }
std::vector<std::string> FieldLengthsSeeds() { return {ReadWhole(LengthsPath(FixtureBase()))}; }

std::vector<std::string> ChangeFilesSeeds() {
  // Every record hidden and answered by the delta (its copy of the set); then record 0 deleted,
  // the others answered by the delta and one record added after them.
  const int32_t records = Fixture().store().GetRecordCount();
  auto list = [records](int32_t first) {
    std::string bytes(reinterpret_cast<const char*>(&records), 4);
    for (int32_t record = first; record < first + records; ++record) {
      bytes.append(reinterpret_cast<const char*>(&record), 4);
    }
    return bytes;
  };
  return {list(0) + list(0), list(0) + list(1)};
}

std::vector<std::string> DictionaryTextSeeds() {
  std::string text;
  for (const std::string& word : FixtureWords()) text += word + " 3 n\n";
  return {text, "ab\n\n  \t\nab x\ncd\r\n" + std::string(3100, 'q') + "\nz", Gbk(u8"中\n中国\n")};
}

std::vector<std::string> SchemaTextSeeds() {
  return {"seq name index type i f s w note\n" + FixtureSchemaLines(),
          "h\n\n1 a b Date 1 2 1 1 x\r\n"};
}

std::vector<std::string> TagValueSeeds() {
  return {"Table\n<Table>docs</Table><SortField>id</SortField>",
          "<DBConnectString>sqlite:x.db</DBConnectString>\n<Table> t </Table",
          "a\n<a><a>b</a></a>"};
}

std::vector<std::string> DbConfigSeeds() {
  return {
      "<DBConnectString>sqlite:demo/sample.db</DBConnectString>\n<Table>docs</Table>\n"
      "<SortField>id</SortField>\n<SourceEncoding>UTF-8</SourceEncoding>\n",
      "<Host>h</Host><Database>d</Database><Username>u</Username><Password>p</Password>"
      "<Table>t</Table><SortField>s</SortField><DBConnectString>DSN=x</DBConnectString>"
      "<SourceEncoding>gbk</SourceEncoding>"};
}

std::vector<std::string> CleanSegmentSeeds() {
  return {Gbk(u8"<p>北京大学的学生</p> 你好世界&nbsp;中国人民"),
          Gbk(u8"<script>x</script><!-- c -->%41%4G{brace}ＡＢＣ１２３（【中】），。、"),
          std::string("\xB0\xA1\xB0{}\x80\xFFnbsp;&amp;&#20013;a\xB0")};
}

std::vector<std::string> QuerySeeds() { return FixtureQueries(); }

std::vector<std::string> TextQuerySeeds() {
  std::vector<std::string> seeds;
  for (const char* text : {u8"中国", u8"中国 北京 OR 上海", u8"(中国|人民) -北京 \"北京大学\"",
                           u8"title:中国 body:\"你好 世界\" year:1999..2005",
                           u8"软件 year:>=2000 -year:<1990", u8"code:BS OR nosuch:x"}) {
    seeds.push_back(Gbk(text));
  }
  std::string nested = "a";
  for (int i = 0; i < 20; ++i) nested = "(" + nested + " OR b -c)";
  seeds.push_back(nested);
  return seeds;
}

std::vector<std::string> GbkToUtf8Seeds() {
  return {Gbk(u8"朋友") + "\xAA\xA1" + Gbk(u8"啊") + "\x80z\xFF\xD6<\x81\x7F\xD6",
          std::string("\xA1\xB0\xB0\xA1\x01\x00\x81\x40\xFE\xFE\xFE", 11)};
}
