#include "fuzz/fixture.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/text/encoding.h"
#include "testing/records/query_fixture.h"

std::string Gbk(const char* utf8) {
  std::string out;
  Utf8ToGbk(utf8, std::strlen(utf8), &out, ToGbk::kQuestionMark);
  return out;
}

const std::vector<std::string>& FixtureWords() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> list;
    for (const char* word : {u8"中国", u8"人民", u8"中国人民", u8"北京", u8"大学", u8"学生",
                             u8"上海", u8"你好", u8"世界", u8"软件", u8"自由", u8"bs", u8"ab"}) {
      list.push_back(Gbk(word));
    }
    return list;
  }();
  return words;
}

const std::string& FixtureSchemaLines() {
  // title, body: indexed, stored, all-fields; code: indexed, stored; year: filter, stored;
  // note: stored only; day: date, stored.
  static const std::string lines =
      Gbk(u8"1 TITLE title T 1 0 1 1 标题\n"
          u8"2 BODY body T 1 0 1 1 正文\n"
          u8"3 CODE code T 1 0 1 0 代码\n"
          u8"4 YEAR year I 0 1 1 0 年份\n"
          u8"5 NOTE note T 0 0 1 0 备注\n"
          u8"6 DAY day D 0 0 1 0 日期\n");
  return lines;
}

namespace {

CMemoryRow Row(const char* title, const char* body, const char* code, int year, int record) {
  CDbValue day = DateTimeValue("2020-01-0" + std::to_string(1 + record % 9) + " 00:00:00");
  return CMemoryRow{{"TITLE", TextValue(Gbk(title))},
                    {"BODY", TextValue(Gbk(body))},
                    {"CODE", TextValue(Gbk(code))},
                    {"YEAR", IntValue(year)},
                    {"NOTE", TextValue(std::to_string(record))},
                    {"DAY", day}};
}

CQueryFixture* MakeFixture() {
  auto* fixture = new CQueryFixture(FixtureWords(), FixtureSchemaLines());
  fixture->EnableContains();
  const CMemoryRow rows[] = {
      Row(u8"中国人民", u8"<p>北京大学的学生</p> 你好世界", "bs", 2005, 0),
      Row(u8"上海", u8"中国 人民 自由软件", "AB", 2006, 1),
      Row(u8"你好", u8"世界&nbsp;中国人民大学", "", 2005, 2),
      Row(u8"", u8"ＢＳ 北京 上海 学生", "bs ab", 1999, 3),
      Row(u8"自由", u8"软件，自由。中国", "x", 2010, 4),
  };
  for (const CMemoryRow& row : rows) {
    if (!fixture->AddRow(row)) std::abort();
  }
  if (!fixture->SaveAndLoad("set")) std::abort();
  return fixture;
}

// The directory of the files the entries write for the loaders: in memory (/dev/shm) when
// there is one, since a fuzzer writes a file per input. It is also the working directory
// (the daily log lands there). Removed, with its files, when the process ends normally.
class CFuzzScratch {
 public:
  CFuzzScratch() {
    for (const char* parent : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(parent) + "/trindle_fuzz_XXXXXX";
      if (mkdtemp(&pattern[0]) != nullptr) {
        m_path = pattern;
        break;
      }
    }
    if (m_path.empty() || chdir(m_path.c_str()) != 0) std::abort();
  }
  ~CFuzzScratch() {
    if (DIR* directory = opendir(m_path.c_str())) {
      while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((m_path + "/" + name).c_str());
      }
      closedir(directory);
    }
    rmdir(m_path.c_str());
  }
  CFuzzScratch(const CFuzzScratch&) = delete;
  CFuzzScratch& operator=(const CFuzzScratch&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

const CFuzzScratch& Scratch() {
  Fixture();  // first: the fixture's own directory becomes the working directory on the way
  static const CFuzzScratch scratch;
  return scratch;
}

}  // namespace

const CQueryFixture& Fixture() {
  static const std::unique_ptr<CQueryFixture> fixture(MakeFixture());
  return *fixture;
}

std::string ScratchPath(const std::string& name) { return Scratch().path() + "/" + name; }

const std::string& FixtureBase() {
  static const std::string base = Fixture().directory().Path("set");
  return base;
}

std::string WriteScratch(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = ScratchPath(name);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  return path;
}

std::string WriteScratch(const std::string& name, const std::string& bytes) {
  return WriteScratch(name, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string ReadWhole(const std::string& path) {
  std::string bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  std::fclose(file);
  return bytes;
}

const std::vector<std::string>& FixtureQueries() {
  static const std::vector<std::string> queries = [] {
    std::vector<std::string> list;
    for (const char* query : {
             u8"[FIELD] title [AND] 中国",
             u8"[FIELD] body [AND] 北京大学 [FIELD] year [AND] 2005",
             u8"[FIELD] * [AND] 中国人民 软件",
             u8"[FIELD] code [AND] BS [FIELD] year [OR] 2005 1999",
             u8"[FIELD] body [AND] 世界 [FIELD] body [AND] 你好",
             u8"[FIELD] nosuch [AND] x [FIELD] title [AND] 上海",
             u8"[FIELD] note [AND] 1",
         }) {
      list.push_back(Gbk(query));
    }
    // Long selector lists: many distinct unknown field names, and selectors of a known field
    // whose operator has no "]" of its own and runs into the next keyword.
    std::string unknown;
    std::string unclosed;
    for (int i = 0; i < 150; ++i) {  // within the request size of the network targets
      unknown += "[FIELD] f" + std::to_string(i) + " [AND] x ";
      unclosed += "[FIELD] title [AND ";
    }
    list.push_back(unknown);
    list.push_back(unclosed);
    return list;
  }();
  return queries;
}
