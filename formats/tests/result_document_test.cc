// The result document: exact bytes, values that XML cannot carry as they are, the encoding
// declared for GB2312 and GBK-only text, and the replacement of the file as a whole.
#include "formats/result_document.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <tinyxml.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "core/text/encoding.h"
#include "core/util/file_util.h"
#include "formats/xml_text.h"
#include "testing/formats/document_check.h"
#include "testing/gbk_reference.h"

namespace {

using std::string;

const std::vector<string> kNames = {"title", "body"};

string Format(const ResultPage& page, const std::vector<string>& names = kNames) {
  string document;
  EXPECT_TRUE(FormatResultDocument(page, names, &document));
  return document;
}

TEST(ResultDocument, PrintsThePageAsTheXmlPrinterLaysItOut) {
  const ResultPage page = MakePage({{"a&b", ""}, {"x<y>", "q\"'"}}, 12, 3, 2);
  EXPECT_EQ(Format(page),
            "<?xml version=\"1.0\" encoding=\"gb2312\" standalone=\"yes\" ?>\n"
            "<Trindle-Result>\n"
            "    <Result-Number>\n"
            "        <Total-Number>12</Total-Number>\n"
            "        <Return-Number>2</Return-Number>\n"
            "        <Start-Position>3</Start-Position>\n"
            "    </Result-Number>\n"
            "    <Result>\n"
            "        <Document>\n"
            "            <title>a&amp;b</title>\n"
            "            <body></body>\n"
            "        </Document>\n"
            "        <Document>\n"
            "            <title>x&lt;y&gt;</title>\n"
            "            <body>q&quot;&apos;</body>\n"
            "        </Document>\n"
            "    </Result>\n"
            "</Trindle-Result>\n");
}

// The document built node by node and written by TinyXML's own save: the reference for the
// printed bytes.
string SavedByTinyXml(const ResultPage& page, const std::vector<string>& names,
                      const string& path) {
  TiXmlDocument tree(path.c_str());
  tree.LinkEndChild(new TiXmlDeclaration("1.0", "gb2312", "yes"));
  auto* root = new TiXmlElement("Trindle-Result");
  tree.LinkEndChild(root);
  auto* numbers = new TiXmlElement("Result-Number");
  root->LinkEndChild(numbers);
  const int32_t counts[3] = {page.total, page.returned, page.start};
  const char* labels[3] = {"Total-Number", "Return-Number", "Start-Position"};
  for (int i = 0; i < 3; ++i) {
    auto* number = new TiXmlElement(labels[i]);
    number->LinkEndChild(new TiXmlText(std::to_string(counts[i])));
    numbers->LinkEndChild(number);
  }
  TiXmlElement* result = nullptr;
  if (page.returned > 0) root->LinkEndChild(result = new TiXmlElement("Result"));
  size_t offset = 0, cell = 0;
  for (int32_t record = 0; record < page.returned; ++record) {
    auto* document = new TiXmlElement("Document");
    result->LinkEndChild(document);
    for (const string& name : names) {
      auto* field = new TiXmlElement(name);
      const auto length = static_cast<size_t>(page.valueLengths[cell++]);
      field->LinkEndChild(new TiXmlText(page.text.substr(offset, length)));
      offset += length;
      document->LinkEndChild(field);
    }
  }
  tree.SaveFile();
  return FileText(path);
}

TEST(ResultDocument, BytesEqualTinyXmlsOwnSave) {
  CScratchFolder folder;
  const std::vector<std::pair<ResultPage, std::vector<string>>> pages = {
      {MakePage({}, 0, 0, 2), kNames},
      {MakePage({}, -1, -20, 2), kNames},
      {MakePage({{}, {}, {}}, 3, 0, 0), {}},
      {MakePage({{"中文 & <标题>", "\t\n\r\"'"}, {"", ""}}, 2000000000, 7, 2), kNames},
      {MakePage({{"a"}, {"b;c&#x41;"}}, 2, 1, 1), {"标题"}},
  };
  for (const auto& [page, names] : pages) {
    EXPECT_EQ(Format(page, names), SavedByTinyXml(page, names, folder.File("saved.xml")));
  }
}

TEST(ResultDocument, EmptyPageHasNoResultAndRecordsWithoutFieldsAreEmptyTags) {
  EXPECT_EQ(Format(MakePage({}, 5, 40, 2)),
            "<?xml version=\"1.0\" encoding=\"gb2312\" standalone=\"yes\" ?>\n"
            "<Trindle-Result>\n"
            "    <Result-Number>\n"
            "        <Total-Number>5</Total-Number>\n"
            "        <Return-Number>0</Return-Number>\n"
            "        <Start-Position>40</Start-Position>\n"
            "    </Result-Number>\n"
            "</Trindle-Result>\n");
  const string noFields = Format(MakePage({{}, {}}, 2, 0, 0), {});
  EXPECT_NE(
      noFields.find("    <Result>\n        <Document />\n        <Document />\n    </Result>"),
      string::npos)
      << noFields;
}

// Each value, written in a document and read back by libxml2, gives the expected text, and
// the declaration names the encoding the value needs.
TEST(ResultDocument, ValuesReadBackThroughAStrictParser) {
  struct Case {
    string value;     // GBK bytes as the server sends them
    string readBack;  // UTF-8
    string encoding;
  };
  const std::vector<Case> cases = {
      {"", "", "gb2312"},
      {"& < > \" ' ;&#x41; &amp;", u8"& < > \" ' ;&#x41; &amp;", "gb2312"},
      {"tab\tLF\nCR\r.", u8"tab\tLF\nCR\r.", "gb2312"},
      {string("a\x01z\x1f\x7f", 5), u8"a z \x7f", "gb2312"},
      {string("cut\0after", 9), u8"cut", "gb2312"},
      {"中文检索", u8"中文检索", "gb2312"},
      {"朱镕基", u8"朱镕基", "GBK"},
      {"中\xD6", u8"中 ", "gb2312"},               // a lead byte with nothing after it
      {string("\xD6\0\xD0", 3), u8" ", "gb2312"},  // NUL cuts a character in two
      {"\xD6<", u8" <", "gb2312"},                 // a lead byte before markup
      {"\x80", u8"€", "GBK"},                      // a one-byte GBK character
      {"\xFF\xA1", u8"  ", "gb2312"},              // bytes that start no character
  };
  CScratchFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readBack);
    const ResultPage page = MakePage({{c.value, "after"}}, 1, 0, 2);
    const string path = folder.File("doc.xml");
    ASSERT_TRUE(BuildResultDocument(page, kNames, path.c_str()));
    EXPECT_TRUE(XmllintAccepts(path));
    const tParsedDocument parsed = ParseDocument(FileText(path));
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.encoding, c.encoding);
    ASSERT_EQ(parsed.documents.size(), 1u);
    ASSERT_EQ(parsed.documents[0].size(), 2u);
    EXPECT_EQ(parsed.documents[0][0].second, c.readBack);
    EXPECT_EQ(parsed.documents[0][1].second, "after");  // the next value starts in its place
  }
}

TEST(ResultDocument, FieldNamesInChineseAndTheirEncoding) {
  const ResultPage page = MakePage({{"v"}}, 1, 0, 1);
  tParsedDocument parsed = ParseDocument(Format(page, {"标题"}));
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.encoding, "gb2312");
  EXPECT_EQ(parsed.documents[0][0].first, u8"标题");
  parsed = ParseDocument(Format(page, {"镕"}));
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.encoding, "GBK");

  string document;
  for (const string& bad : {string(""), string("1st"), string("a b"), string("a<b"), string("\xD6"),
                            string("\xA1\xA1")}) {  // \xA1\xA1: ideographic space
    bool gbkOnly = false;
    EXPECT_FALSE(IsDocumentName(bad, &gbkOnly)) << bad;
    EXPECT_FALSE(FormatResultDocument(page, {bad}, &document)) << bad;
  }
}

TEST(ResultDocument, RefusesPagesThatDoNotFitTheNames) {
  string document;
  EXPECT_FALSE(FormatResultDocument(MakePage({{"a", "b", "c"}}, 1, 0, 3), kNames, &document));
  ResultPage page = MakePage({{"a", "b"}}, 1, 0, 2);
  page.valueLengths[1] = 5;  // runs past the text
  EXPECT_FALSE(FormatResultDocument(page, kNames, &document));
}

// Every character of the converter's GB2312 table fits a "gb2312" document, and every GBK
// character a "GBK" one, as a strict parser decodes them.
TEST(ResultDocument, EveryCharacterOfEachCodePageParses) {
  const CGbkTable& table = CGbkTable::Get();
  string gb2312, gbk;
  size_t gb2312Count = 0, gbkOnlyCount = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const uint8_t kind =
          table.PairClass(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
      if (kind == CGbkTable::kNoCharacter) continue;
      const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      (kind == CGbkTable::kGb2312 ? gb2312 : gbk).append(pair, 2);
      ++(kind == CGbkTable::kGb2312 ? gb2312Count : gbkOnlyCount);
    }
  }
  EXPECT_GT(gb2312Count, 7000u);    // GB2312 has 7445 characters
  EXPECT_GT(gbkOnlyCount, 14000u);  // GBK adds some 14,000 more
  CScratchFolder folder;
  for (const string& text : {gb2312, gb2312 + gbk}) {
    const string path = folder.File("all.xml");
    ASSERT_TRUE(BuildResultDocument(MakePage({{text, "z"}}, 1, 0, 2), kNames, path.c_str()));
    EXPECT_TRUE(XmllintAccepts(path));
    const tParsedDocument parsed = ParseDocument(FileText(path));
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.encoding, text.size() == gb2312.size() ? "gb2312" : "GBK");
    EXPECT_EQ(parsed.documents[0][0].second, ReferenceUtf8(text));
  }
}

TEST(ResultDocument, ReplacesTheFileAsAWholeAndLeavesNoTemporary) {
  CScratchFolder folder;
  const string path = folder.File("result.xml");
  ASSERT_TRUE(BuildResultDocument(MakePage({{"first", "1"}}, 1, 0, 2), kNames, path.c_str()));
  ASSERT_TRUE(BuildResultDocument(MakePage({{"second", "2"}}, 1, 0, 2), kNames, path.c_str()));
  EXPECT_EQ(ParseDocument(FileText(path)).documents[0][0].second, "second");
  EXPECT_EQ(FolderEntries(folder.path()), std::vector<string>{"result.xml"});
  // A name as long as a file name may be still has room for the temporary beside it.
  const string longPath = folder.File(string(250, 'n'));
  EXPECT_TRUE(BuildResultDocument(MakePage({}, 0, 0, 2), kNames, longPath.c_str()));
}

TEST(ResultDocument, AFileThatCannotBeWrittenFailsAndChangesNothing) {
  CScratchFolder folder;
  const ResultPage page = MakePage({{"v", "w"}}, 1, 0, 2);
  const string missingFolder = folder.File("no/such/folder.xml");
  EXPECT_FALSE(BuildResultDocument(page, kNames, missingFolder.c_str()));
  ASSERT_EQ(::mkdir(folder.File("taken").c_str(), 0755), 0);
  ::close(::open(folder.File("taken/inside").c_str(), O_CREAT | O_WRONLY, 0644));
  EXPECT_FALSE(BuildResultDocument(page, kNames, folder.File("taken").c_str()));
  EXPECT_FALSE(BuildResultDocument(page, kNames, ""));
  EXPECT_EQ(FolderEntries(folder.path()), std::vector<string>{"taken"});

  // A write that fails half-way (the file size limit) leaves the earlier document as it was.
  const string path = folder.File("result.xml");
  ASSERT_TRUE(BuildResultDocument(page, kNames, path.c_str()));
  const string earlier = FileText(path);
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool written =
        BuildResultDocument(MakePage({{string(500, 'x'), "w"}}, 1, 0, 2), kNames, path.c_str());
    ::_exit(written ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(FileText(path), earlier);
  EXPECT_EQ(FolderEntries(folder.path()), (std::vector<string>{"result.xml", "taken"}));
}

bool IsLink(const string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// Only a regular file is replaced: links are followed to the file they name, and devices,
// FIFOs and descriptor links are written into and stay what they are.
TEST(ResultDocument, WritesThroughWhatIsNotARegularFileAndFollowsLinks) {
  CScratchFolder folder;
  ASSERT_EQ(::mkdir(folder.File("sub").c_str(), 0755), 0);
  ASSERT_TRUE(ReplaceFile(folder.File("sub/real.xml").c_str(), "old"));
  ASSERT_EQ(::symlink("sub/real.xml", folder.File("link.xml").c_str()), 0);
  ASSERT_EQ(::symlink("made.xml", folder.File("sub/dangling.xml").c_str()), 0);
  ASSERT_EQ(::symlink(folder.File("link.xml").c_str(), folder.File("chain.xml").c_str()), 0);
  struct Case {
    string path, data, file;
  } const cases[] = {
      {"link.xml", "through a link", "sub/real.xml"},
      {"chain.xml", "through two links", "sub/real.xml"},
      {"sub/dangling.xml", "named by a dangling link", "sub/made.xml"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ReplaceFile(folder.File(c.path).c_str(), c.data)) << c.path;
    EXPECT_TRUE(IsLink(folder.File(c.path))) << c.path;
    EXPECT_EQ(FileText(folder.File(c.file)), c.data) << c.path;
  }

  ASSERT_EQ(::mkfifo(folder.File("fifo").c_str(), 0600), 0);
  string fromFifo;
  std::thread reader([&] { fromFifo = FileText(folder.File("fifo")); });
  EXPECT_TRUE(ReplaceFile(folder.File("fifo").c_str(), "into a fifo"));
  reader.join();
  EXPECT_EQ(fromFifo, "into a fifo");
  struct stat status;
  ASSERT_EQ(::stat(folder.File("fifo").c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));

  // An open descriptor named through /dev/fd (as /dev/stdout is).
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  EXPECT_TRUE(ReplaceFile(("/dev/fd/" + std::to_string(pipeEnds[1])).c_str(), "into a pipe"));
  ::close(pipeEnds[1]);
  char received[64] = {};
  EXPECT_EQ(::read(pipeEnds[0], received, sizeof received - 1), 11);
  EXPECT_EQ(string(received), "into a pipe");
  ::close(pipeEnds[0]);

  // A character device of its own (the numbers of /dev/null), where the process may make one.
  if (::mknod(folder.File("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    EXPECT_TRUE(ReplaceFile(folder.File("null").c_str(), "into a device"));
    ASSERT_EQ(::stat(folder.File("null").c_str(), &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
  }
  for (const string& name : FolderEntries(folder.path())) {
    EXPECT_EQ(name.find(".tmp"), string::npos) << name;
  }
}

// A regular file named through a descriptor link (/dev/fd/<n>, /proc/self/fd/<n>) is written
// through the descriptor's file, even when its name is gone: the caller reads the document
// from its descriptor, and no file appears beside the one it opened.
TEST(ResultDocument, ARegularFileNamedThroughADescriptorLinkIsWrittenThrough) {
  struct Case {
    const char* prefix;
    bool unlinked;
  } const cases[] = {
      {"/dev/fd/", false}, {"/dev/fd/", true}, {"/proc/self/fd/", false}, {"/proc/self/fd/", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(string(c.prefix) + (c.unlinked ? " unlinked" : ""));
    CScratchFolder folder;
    const int fd = ::open(folder.File("held.xml").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "an earlier and longer text", 26), 26);
    if (c.unlinked) {
      ASSERT_EQ(::unlink(folder.File("held.xml").c_str()), 0);
    }
    EXPECT_TRUE(ReplaceFile((c.prefix + std::to_string(fd)).c_str(), "the document"));
    char received[64] = {};
    EXPECT_EQ(::pread(fd, received, sizeof received - 1, 0), 12);
    EXPECT_EQ(string(received), "the document");
    ::close(fd);
    EXPECT_EQ(FolderEntries(folder.path()),
              c.unlinked ? std::vector<string>{} : std::vector<string>{"held.xml"});
  }
}

// The temporary's name holds the pid: a file of that name left by a killed process that had
// the same pid is taken over, not a reason to fail.
TEST(ResultDocument, ATemporaryLeftByAnEarlierProcessOfTheSamePidIsTakenOver) {
  CScratchFolder folder;
  for (unsigned n = 0; n < 1024; ++n) {  // more than this process wrote before
    const string name = ".trindle-" + std::to_string(::getpid()) + "-" + std::to_string(n) + ".tmp";
    ::close(::open(folder.File(name).c_str(), O_CREAT | O_WRONLY, 0644));
  }
  const string path = folder.File("result.xml");
  ASSERT_TRUE(BuildResultDocument(MakePage({{"v", "w"}}, 1, 0, 2), kNames, path.c_str()));
  EXPECT_EQ(ParseDocument(FileText(path)).documents[0][0].second, "v");
}

TEST(DocumentText, ReplacesWhatXmlCannotCarry) {
  struct Case {
    string in, out;
    bool gbkOnly;
  };
  const std::vector<Case> cases = {
      {"plain", "plain", false},
      {string("\x00\x08\x0b\x0c\x1b", 5), "     ", false},
      {"\t\n\r", "\t\n\r", false},
      {"\xB0\xA1\x81\x40", "\xB0\xA1\x81\x40", true},  // 啊 then a GBK-only character
      {"\x81\x7F", " \x7F", false},                    // 0x7F is no trail byte
      {"\xA1", " ", false},
  };
  for (const Case& c : cases) {
    string out;
    EXPECT_EQ(AppendDocumentText(c.in.data(), c.in.size(), &out), c.gbkOnly) << c.in;
    EXPECT_EQ(out, c.out);
  }
}

// A pair of the two-byte shape that GBK maps to nothing is one blank: the character after it
// is kept and its second byte never starts another one.
TEST(DocumentText, UnmappedPairsBecomeOneBlankEach) {
  string out;
  const string stored = "朋友\xAA\xA1啊";
  AppendDocumentText(stored.data(), stored.size(), &out);
  EXPECT_EQ(out, "朋友 啊");
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    string gbk;
    for (int trail = 0; trail <= 0xFF; ++trail) {
      gbk += 'a';
      gbk += static_cast<char>(lead);
      gbk += static_cast<char>(trail);
    }
    out.clear();
    AppendDocumentText(gbk.data(), gbk.size(), &out);
    ASSERT_EQ(out, ReferenceDocumentText(gbk)) << lead;
  }
}

}  // namespace
