// Tests of the field schema: text import, binary round trip, damaged binary files and the
// review text.
#include "core/records/field_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "testing/file_image.h"

namespace {

const char kHeader[] = "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n";

// Fields a (T, indexed, stored), b (I, filter), c (T, indexed, stored, wildcard).
const char kThreeFields[] =
    "1\tcol_a\ta\tT\t1\t0\t1\t0\tfirst\n"
    "2\tcol_b\tb\tI\t0\t1\t0\t0\tsecond\n"
    "3\tcol_c\tc\tText\t1\t0\t1\t1\tthird\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class FieldInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/field_info_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_directory = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + m_directory + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  std::string Path(const std::string& name) const { return m_directory + "/" + name; }

  std::string WriteText(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }

  // Imports `lines` after a header; output printed on the way goes to *printed.
  bool Import(CFieldInfo* schema, const std::string& lines, std::string* printed = nullptr) {
    std::string path = WriteText("schema.txt", kHeader + lines);
    testing::internal::CaptureStdout();
    bool imported = schema->ImportText(path.c_str());
    std::string output = testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = output;
    return imported;
  }

  std::string m_directory;
};

TEST_F(FieldInfoTest, HeaderOnlyGivesTheAllFieldsEntry) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, ""));
  ASSERT_EQ(schema.GetFieldCount(), 1);
  const tFIELD_ENTRY& all = schema.GetField(0);
  EXPECT_EQ(all.name, "*");
  EXPECT_EQ(all.indexName, "*");
  EXPECT_EQ(all.explanation, "通配符");
  EXPECT_EQ(all.type, FIELD_TYPE_ALL);
  EXPECT_EQ(all.isIndexed, 1);
  EXPECT_EQ(all.isFilter + all.isStored + all.isWildcard, 0);
  EXPECT_EQ(schema.GetListSize(LIST_INDEXED), 1);
  EXPECT_EQ(schema.GetListMember(0, LIST_INDEXED), 0);
  for (int list : {LIST_FILTER, LIST_STORED, LIST_WILDCARD}) {
    EXPECT_EQ(schema.GetListSize(list), 0);
    EXPECT_EQ(schema.GetListPosition(0, list), -1);
  }
}

TEST_F(FieldInfoTest, ListsTakePositionsInFieldOrder) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, kThreeFields));
  ASSERT_EQ(schema.GetFieldCount(), 4);
  EXPECT_EQ(schema.GetListSize(LIST_INDEXED), 3);
  EXPECT_EQ(schema.GetListSize(LIST_FILTER), 1);
  EXPECT_EQ(schema.GetListSize(LIST_STORED), 2);
  EXPECT_EQ(schema.GetListSize(LIST_WILDCARD), 1);
  // Rows: field *, a, b, c; columns: indexed, filter, stored, wildcard.
  const int positions[4][kListCount] = {
      {0, -1, -1, -1}, {1, -1, 0, -1}, {-1, 0, -1, -1}, {2, -1, 1, 0}};
  for (int field = 0; field < 4; ++field) {
    for (int list = 0; list < kListCount; ++list) {
      int position = positions[field][list];
      EXPECT_EQ(schema.GetListPosition(field, list), position) << field << "/" << list;
      if (position >= 0) {
        EXPECT_EQ(schema.GetListMember(position, list), field);
      }
    }
  }
  EXPECT_EQ(schema.GetField(3).type, FIELD_TYPE_T);  // "Text": only the first letter counts
  EXPECT_EQ(schema.GetField(2).name, "col_b");
  EXPECT_EQ(schema.GetField(2).explanation, "second");
}

TEST_F(FieldInfoTest, AccessorsRefuseOutOfRangeArguments) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, kThreeFields));
  EXPECT_EQ(schema.GetListMember(3, LIST_INDEXED), -1);
  EXPECT_EQ(schema.GetListMember(-1, LIST_INDEXED), -1);
  EXPECT_EQ(schema.GetListMember(0, 4), -1);
  EXPECT_EQ(schema.GetListPosition(4, LIST_INDEXED), -1);
  EXPECT_EQ(schema.GetListPosition(-1, LIST_INDEXED), -1);
  EXPECT_EQ(schema.GetListPosition(1, -1), -1);
  EXPECT_EQ(schema.GetListSize(4), 0);
  EXPECT_EQ(schema.GetField(4).type, FIELD_TYPE_NONE);
  CFieldInfo empty;
  EXPECT_EQ(empty.GetFieldCount(), 0);
  EXPECT_EQ(empty.GetListMember(0, LIST_INDEXED), -1);
}

struct TypeCase {
  const char* line;
  int type;
  int indexed, filter, stored, wildcard;
};

TEST_F(FieldInfoTest, TypeLettersAndFlags) {
  const TypeCase cases[] = {
      {"1 c n T 1 1 1 1 e", FIELD_TYPE_T, 1, 1, 1, 1},
      {"1 c n text 1 0 0 0 e", FIELD_TYPE_T, 1, 0, 0, 0},
      {"1 c n i 1 1 0 0 e", FIELD_TYPE_I, 0, 1, 0, 0},  // only type T is indexed
      {"1 c n L 0 0 1 0 e", FIELD_TYPE_L, 0, 0, 1, 0},
      {"1 c n Date 1 0 1 1 e", FIELD_TYPE_D, 0, 0, 1, 1},
      {"1 c n x 1 0 0 0 e", FIELD_TYPE_NONE, 0, 0, 0, 0},
      {"1 c n t 2 2 -1 11 e", FIELD_TYPE_T, 0, 0, 0, 0},  // exactly 1 sets a flag
      {"1 c n t +1 01 1 1 e more words", FIELD_TYPE_T, 1, 1, 1, 1},
  };
  for (const TypeCase& row : cases) {
    CFieldInfo schema;
    ASSERT_TRUE(Import(&schema, std::string(row.line) + "\n")) << row.line;
    ASSERT_EQ(schema.GetFieldCount(), 2);
    const tFIELD_ENTRY& field = schema.GetField(1);
    EXPECT_EQ(field.type, row.type) << row.line;
    EXPECT_EQ(field.isIndexed, row.indexed) << row.line;
    EXPECT_EQ(field.isFilter, row.filter) << row.line;
    EXPECT_EQ(field.isStored, row.stored) << row.line;
    EXPECT_EQ(field.isWildcard, row.wildcard) << row.line;
    EXPECT_EQ(schema.GetListPosition(1, LIST_INDEXED), row.indexed ? 1 : -1) << row.line;
    EXPECT_EQ(schema.GetListPosition(1, LIST_WILDCARD), row.wildcard ? 0 : -1) << row.line;
    EXPECT_EQ(field.explanation, "e");
  }
}

TEST_F(FieldInfoTest, FindFieldMatchesIndexNamesExactly) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, std::string(kThreeFields) + "4 a d T 1 0 0 0 names\n"));
  EXPECT_EQ(schema.FindField("*"), 0);
  EXPECT_EQ(schema.FindField("c"), 3);
  EXPECT_EQ(schema.FindField("a"), 1);  // an index name, not the column name of field 4
  EXPECT_EQ(schema.FindField("d"), 4);
  EXPECT_EQ(schema.FindField("col_a"), -1);
  EXPECT_EQ(schema.FindField("A"), -1);
  EXPECT_EQ(schema.FindField(""), -1);
  EXPECT_EQ(schema.FindField("a "), -1);
}

TEST_F(FieldInfoTest, BlankLinesAndCarriageReturnsAreIgnored) {
  CFieldInfo plain;
  ASSERT_TRUE(Import(&plain, kThreeFields));
  CFieldInfo spaced;
  ASSERT_TRUE(Import(&spaced,
                     "\n1\tcol_a\ta\tT\t1\t0\t1\t0\tfirst\r\n  \t\r\n"
                     "2 col_b b I 0 1 0 0 second\r\n\n3 col_c c Text 1 0 1 1 third"));
  EXPECT_EQ(spaced.EncodeBinary(), plain.EncodeBinary());
}

TEST_F(FieldInfoTest, ShortOrMalformedLinesFailTheImport) {
  struct BadCase {
    const char* lines;
    const char* message;  // part of the explanation line
  };
  const BadCase cases[] = {
      {"1 col_a a T 1 0 1 0 first\n2 col_b b I 0 1 0\n",
       "Line 3 has only 7 of 9 columns; missing: wildcard flag, explanation"},
      {"1 col_a a T 1 0 1 0\n", "Line 2 has only 8 of 9 columns; missing: explanation"},
      {"x col_a a T 1 0 1 0 first\n", "Line 2 column 1 (sequence number) is not a number: x"},
      {"1 col_a a T yes 0 1 0 first\n", "column 5"},
      {"1 col_a a T 1 0 1 0x1 first\n", "column 8"},
      {"1 col_a a T 1 0 1 0 first\n2 col_b a I 0 1 0 0 second\n",
       "Line 3 repeats the index name a of an earlier field"},
      {"1 col_a * T 1 0 1 0 first\n", "Line 2 repeats the index name *"},
  };
  for (const BadCase& row : cases) {
    CFieldInfo schema;
    ASSERT_TRUE(Import(&schema, kThreeFields));
    std::string before = schema.EncodeBinary();
    std::string printed;
    EXPECT_FALSE(Import(&schema, row.lines, &printed)) << row.lines;
    EXPECT_EQ(printed.rfind("Error Import " + Path("schema.txt") + "\n", 0), 0u) << printed;
    EXPECT_NE(printed.find(row.message), std::string::npos) << printed;
    EXPECT_EQ(schema.EncodeBinary(), before);
  }
}

TEST_F(FieldInfoTest, MissingOrEmptyFileFailsTheImport) {
  CFieldInfo schema;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(schema.ImportText(Path("missing.txt").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error Import " + Path("missing.txt") + "\n");
  std::string empty = WriteText("empty.txt", "");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(schema.ImportText(empty.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Error Import " + empty + "\n", 0), 0u);
  std::string blank = WriteText("blank.txt", " \n\t\r\n\n");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(schema.ImportText(blank.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error Import " + blank + "\nThe file has no header line\n");
  EXPECT_EQ(schema.GetFieldCount(), 0);
}

TEST_F(FieldInfoTest, BlankLinesBeforeTheHeaderAreSkipped) {
  std::string path = WriteText("schema.txt", "\n  \n" + std::string(kHeader) + kThreeFields);
  CFieldInfo schema;
  ASSERT_TRUE(schema.ImportText(path.c_str()));
  EXPECT_EQ(schema.GetFieldCount(), 4);
  EXPECT_EQ(schema.FindField("a"), 1);
}

// N, the four sizes, the four position tables, then the field records.
TEST_F(FieldInfoTest, BinaryLayout) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, "1 col_a a T 1 0 1 0 first\n"));
  std::string expected;
  const int32_t head[] = {2, 2, 0, 1, 0, 0, 1, -1, -1, -1, 0, -1, -1};
  expected.append(reinterpret_cast<const char*>(head), sizeof head);
  auto record = [&expected](const std::string& name, const std::string& indexName,
                            const std::string& flags, const std::string& explanation) {
    int32_t length = static_cast<int32_t>(name.size());
    expected.append(reinterpret_cast<const char*>(&length), 4).append(name);
    length = static_cast<int32_t>(indexName.size());
    expected.append(reinterpret_cast<const char*>(&length), 4).append(indexName).append(flags);
    length = static_cast<int32_t>(explanation.size());
    expected.append(reinterpret_cast<const char*>(&length), 4).append(explanation);
  };
  record("*", "*", std::string("\x05\x01\x00\x00\x00", 5), "通配符");
  record("col_a", "a", std::string("\x01\x01\x00\x01\x00", 5), "first");
  EXPECT_EQ(schema.EncodeBinary(), expected);
}

TEST_F(FieldInfoTest, SavingALoadedSchemaReproducesTheFile) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, kThreeFields));
  std::string first = Path("first.dat");
  std::string second = Path("second.dat");
  ASSERT_TRUE(schema.SaveBinary(first.c_str()));
  CFieldInfo loaded;
  ASSERT_TRUE(loaded.LoadBinary(first.c_str()));
  ASSERT_TRUE(loaded.SaveBinary(second.c_str()));
  EXPECT_EQ(ReadFile(second), ReadFile(first));
  EXPECT_EQ(ReadFile(first), schema.EncodeBinary());
  for (int field = 0; field < 4; ++field) {
    EXPECT_EQ(loaded.GetField(field).indexName, schema.GetField(field).indexName);
    for (int list = 0; list < kListCount; ++list) {
      EXPECT_EQ(loaded.GetListPosition(field, list), schema.GetListPosition(field, list));
    }
  }
  EXPECT_EQ(loaded.GetListMember(1, LIST_STORED), 3);
  EXPECT_EQ(loaded.FindField("b"), 2);
}

TEST_F(FieldInfoTest, SaveToMissingDirectoryFails) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, kThreeFields));
  std::string path = Path("no/such.dat");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(schema.SaveBinary(path.c_str()));
  EXPECT_FALSE(schema.ExportText(path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error Write " + path + "\nError Write " + path + "\n");
}

// Offsets in the image of kThreeFields (N = 4): sizes at 4, position tables at 20, 36, 52,
// 68, field records from 84 (field 0: name length at 84).
class DamagedSchemaTest : public FieldInfoTest {
 protected:
  void SetUp() override {
    FieldInfoTest::SetUp();
    ASSERT_TRUE(Import(&m_good, kThreeFields));
    m_image = CFileImage(m_good.EncodeBinary());
  }

  // Loads `image` from a file into a schema holding kThreeFields; expects a refusal that
  // leaves the schema as it was.
  void ExpectRefused(const CFileImage& image, const char* what) {
    std::string path = Path("damaged.dat");
    ASSERT_TRUE(image.Write(path));
    CFieldInfo schema;
    ASSERT_TRUE(Import(&schema, kThreeFields));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(schema.LoadBinary(path.c_str())) << what;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error Read " + path + "\n") << what;
    EXPECT_EQ(schema.EncodeBinary(), m_good.EncodeBinary()) << what;
  }

  CFieldInfo m_good;
  CFileImage m_image;
};

TEST_F(DamagedSchemaTest, EveryTruncationIsRefused) {
  for (size_t size = 0; size < m_image.size(); ++size) {
    CFileImage cut = m_image;
    cut.Truncate(size);
    CFieldInfo schema;
    EXPECT_FALSE(schema.DecodeBinary(cut.data(), cut.size())) << size;
  }
  ExpectRefused(CFileImage(m_image.bytes().substr(0, 50)), "cut in the position tables");
  CFileImage longer = m_image;
  longer.Append("x");
  ExpectRefused(longer, "trailing byte");
  ExpectRefused(CFileImage(), "empty file");
}

TEST_F(DamagedSchemaTest, ImpossibleValuesAreRefused) {
  struct Damage {
    size_t offset;
    int32_t value;
    const char* what;
  };
  const Damage damages[] = {
      {0, 0x7FFFFFFF, "huge field count"},
      {0, 0, "no field 0"},
      {0, -4, "negative field count"},
      {0, 3, "field count smaller than the records"},
      {4, 5, "indexed list larger than the field count"},
      {8, -1, "negative filter list size"},
      {12, 3, "stored list size with a position unused"},
      {12, 1, "stored list size below a position"},
      {20, 1, "field 0 not at indexed position 0"},
      {24, 2, "duplicate indexed position"},
      {24, -2, "position below -1"},
      {28, 0, "position for a field without the flag"},
      {32, -1, "flagged field without a position"},
      {84, 0x7FFFFFF0, "huge name length"},
      {84, -1, "negative name length"},
  };
  for (const Damage& damage : damages) {
    CFileImage image = m_image;
    image.PutI32At(damage.offset, damage.value);
    ExpectRefused(image, damage.what);
  }
  struct ByteDamage {
    size_t offset;
    uint8_t value;
    const char* what;
  };
  // Field 0's record: name length 84, "*" 88, index name length 89, "*" 93, type 94,
  // flags 95..98.
  const ByteDamage byteDamages[] = {
      {88, 'x', "field 0 not named *"},
      {94, FIELD_TYPE_T, "field 0 not of the all-fields type"},
      {96, 2, "flag value 2"},
      {97, 1, "stored flag without a position"},
  };
  for (const ByteDamage& damage : byteDamages) {
    CFileImage image = m_image;
    image.PutByteAt(damage.offset, damage.value);
    ExpectRefused(image, damage.what);
  }
  CFieldInfo schema;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(schema.LoadBinary(Path("missing.dat").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error Read " + Path("missing.dat") + "\n");
}

// Schemas whose counts and positions agree but which no import can produce: the store would
// read values for field 0 or index a field that is not text, and queries could not tell
// two fields of one index name apart.
TEST_F(DamagedSchemaTest, SchemasNoImportProducesAreRefused) {
  const size_t nameOfB = m_image.bytes().find("col_b");
  const size_t nameOfC = m_image.bytes().find("col_c");
  ASSERT_NE(nameOfB, std::string::npos);
  ASSERT_NE(nameOfC, std::string::npos);
  struct Edit {
    size_t offset;
    int32_t value;
    bool isByte;
  };
  struct Case {
    const char* what;
    std::vector<Edit> edits;
  } const cases[] = {
      // list size, field 0's position in the list, field 0's flag
      {"* as a filter member", {{8, 2, false}, {36, 1, false}, {96, 1, true}}},
      {"* as a stored member", {{12, 3, false}, {52, 2, false}, {97, 1, true}}},
      {"* as a wildcard member", {{16, 2, false}, {68, 1, false}, {98, 1, true}}},
      {"indexed integer field", {{nameOfC + 10, FIELD_TYPE_I, true}}},
      {"indexed field of no type", {{nameOfC + 10, FIELD_TYPE_NONE, true}}},
      {"two fields named a", {{nameOfB + 9, 'a', true}}},
  };
  for (const Case& test : cases) {
    CFileImage image = m_image;
    for (const Edit& edit : test.edits) {
      if (edit.isByte) {
        image.PutByteAt(edit.offset, static_cast<uint8_t>(edit.value));
      } else {
        image.PutI32At(edit.offset, edit.value);
      }
    }
    ExpectRefused(image, test.what);
  }
  // The edits touch the intended bytes: undone, the image loads.
  CFileImage renamed = m_image;
  renamed.PutByteAt(nameOfB + 9, 'z');
  CFieldInfo schema;
  ASSERT_TRUE(schema.DecodeBinary(renamed.data(), renamed.size()));
  EXPECT_EQ(schema.FindField("z"), 2);
}

// Random damage never crashes and never yields a schema whose lists disagree.
TEST_F(DamagedSchemaTest, RandomDamageIsRefusedOrConsistent) {
  std::mt19937 random(301);
  for (int round = 0; round < 5000; ++round) {
    CFileImage image = m_image;
    for (int flips = 1 + random() % 3; flips > 0; --flips) {
      image.PutByteAt(random() % image.size(), static_cast<uint8_t>(random() % 256));
    }
    CFieldInfo schema;
    if (!schema.DecodeBinary(image.data(), image.size())) continue;
    for (int list = 0; list < kListCount; ++list) {
      for (int position = 0; position < schema.GetListSize(list); ++position) {
        int field = schema.GetListMember(position, list);
        ASSERT_GE(field, 0);
        ASSERT_LT(field, schema.GetFieldCount());
        ASSERT_EQ(schema.GetListPosition(field, list), position);
      }
    }
  }
}

TEST_F(FieldInfoTest, ReviewTextListsFieldsAndLists) {
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, kThreeFields));
  std::string path = Path("review.txt");
  ASSERT_TRUE(schema.ExportText(path.c_str()));
  EXPECT_EQ(ReadFile(path),
            "序号\t字段名称\t索引名称\t数据类型\t是否需要索引\t是否需要过滤用\t是否需要存储\t"
            "是否需要通配索引\t解释\n"
            "1\t*\t*\t5\t1\t0\t0\t0\t通配符\n"
            "2\tcol_a\ta\t1\t1\t0\t1\t0\tfirst\n"
            "3\tcol_b\tb\t2\t0\t1\t0\t0\tsecond\n"
            "4\tcol_c\tc\t1\t1\t0\t1\t1\tthird\n"
            "需要索引的字段序号为：\n<1>1(*)\t<2>2(a)\t<4>3(c)\t"
            "\n需要过滤的字段序号为：\n<3>1(b)\t"
            "\n需要存储的字段序号为：\n<2>1(a)\t<4>2(c)\t"
            "\n需要通配符索引的字段序号为：\n<4>1(c)\t"
            "\n");
}

TEST_F(FieldInfoTest, LargeSchemaKeepsFieldOrder) {
  std::string lines;
  for (int field = 1; field <= 200; ++field) {
    std::string number = std::to_string(field);
    lines += number + " col" + number + " f" + number + (field % 3 ? " T " : " I ") +
             (field % 2 ? "1" : "0") + " 1 " + (field % 5 ? "0" : "1") + " 0 e\n";
  }
  CFieldInfo schema;
  ASSERT_TRUE(Import(&schema, lines));
  ASSERT_EQ(schema.GetFieldCount(), 201);
  int indexed = 1;
  for (int field = 1; field <= 200; ++field) {
    bool expectIndexed = field % 2 == 1 && field % 3 != 0;
    EXPECT_EQ(schema.GetListPosition(field, LIST_INDEXED), expectIndexed ? indexed++ : -1);
    EXPECT_EQ(schema.GetListPosition(field, LIST_FILTER), field - 1);
    EXPECT_EQ(schema.GetListMember(field - 1, LIST_FILTER), field);
  }
  EXPECT_EQ(schema.GetListSize(LIST_INDEXED), indexed);
  EXPECT_EQ(schema.GetListSize(LIST_STORED), 40);
  EXPECT_EQ(schema.FindField("f200"), 200);
}

}  // namespace
