// Fuzz entries of the two bodies that travel between client and server: the request as the
// server decodes it, and the result as the client decodes it and writes it as an XML
// document, which a strict parser (libxml2) then reads back. A third entry feeds the bytes
// to the server's connection handling through a socket pair.
#include <dirent.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/query/query.h"
#include "core/records/field_info.h"
#include "core/text/word_list.h"
#include "core/util/daily_log.h"
#include "formats/result_document.h"
#include "fuzz/fixture.h"
#include "fuzz/fuzz_entries.h"
#include "fuzz/fuzz_targets.h"
#include "net/input_output.h"
#include "server/connection.h"
#include "server/search_data.h"
#include "testing/iconv_reference.h"
#include "testing/records/query_fixture.h"

namespace {

constexpr int32_t kMaxDocumentFields = 64;
constexpr int32_t kMaxDocumentRecords = 1000;

int32_t ReadInt32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                              static_cast<uint32_t>(at[2]) << 16 |
                              static_cast<uint32_t>(at[3]) << 24);
}

// The names of the fixture's stored fields (GBK), which the documents are written under.
const std::vector<std::string>& StoredNames() {
  static const std::vector<std::string> names = [] {
    const CFieldInfo& schema = Fixture().schema();
    std::vector<std::string> list;
    for (int k = 0; k < schema.GetListSize(LIST_STORED); ++k) {
      list.push_back(schema.GetField(schema.GetListMember(k, LIST_STORED)).indexName);
    }
    return list;
  }();
  return names;
}

std::string GbkToUtf8(const std::string& gbk) {
  std::string utf8;
  return IconvConvert("UTF-8", "GBK", gbk, &utf8) ? utf8 : "<invalid>";
}

std::string NodeName(xmlNodePtr node) { return reinterpret_cast<const char*>(node->name); }

std::string NodeText(xmlNodePtr node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

// The element children of `node`.
std::vector<xmlNodePtr> Elements(xmlNodePtr node) {
  std::vector<xmlNodePtr> children;
  for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) children.push_back(child);
  }
  return children;
}

// Reads `document` with libxml2 and checks it against `page` and `names` (GBK): the
// element tree of the header comment, the numbers of the page, one Document per record and
// in each one element per name, in order.
void CheckDocument(const std::string& document, const ResultPage& page,
                   const std::vector<std::string>& names) {
  xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "result.xml",
                                nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  FuzzCheck(doc != nullptr, "the result document is well-formed");
  xmlNodePtr root = xmlDocGetRootElement(doc);
  FuzzCheck(root != nullptr && NodeName(root) == "Trindle-Result", "document root");
  std::vector<xmlNodePtr> sections = Elements(root);
  FuzzCheck(sections.size() == (page.returned > 0 ? 2u : 1u), "document sections");
  FuzzCheck(NodeName(sections[0]) == "Result-Number", "numbers section");
  std::vector<xmlNodePtr> numbers = Elements(sections[0]);
  FuzzCheck(numbers.size() == 3 && NodeName(numbers[0]) == "Total-Number" &&
                NodeName(numbers[1]) == "Return-Number" && NodeName(numbers[2]) == "Start-Position",
            "number names");
  FuzzCheck(NodeText(numbers[0]) == std::to_string(page.total) &&
                NodeText(numbers[1]) == std::to_string(page.returned) &&
                NodeText(numbers[2]) == std::to_string(page.start),
            "number values");
  if (page.returned > 0) {
    std::vector<std::string> expected;
    for (const std::string& name : names) expected.push_back(GbkToUtf8(name));
    FuzzCheck(NodeName(sections[1]) == "Result", "result section");
    std::vector<xmlNodePtr> records = Elements(sections[1]);
    FuzzCheck(records.size() == static_cast<size_t>(page.returned), "one Document per record");
    for (xmlNodePtr record : records) {
      FuzzCheck(NodeName(record) == "Document", "record element");
      std::vector<xmlNodePtr> fields = Elements(record);
      FuzzCheck(fields.size() == names.size(), "one element per stored field");
      for (size_t i = 0; i < fields.size(); ++i) {
        FuzzCheck(NodeName(fields[i]) == expected[i], "field named as in the schema");
      }
    }
  }
  xmlFreeDoc(doc);
}

// The fixture's data set as the server loads it (with a word list of the fixture's words).
const CSearchData& ServedData() {
  static const std::shared_ptr<const CSearchData> data = [] {
    std::string text;
    for (const std::string& word : FixtureWords()) text += word + " 10 n\n";
    CWordList list;
    list.BuildFromText(WriteScratch("served.words.txt", text).c_str(), Fixture().trie());
    const std::string words = ScratchPath("served.words");
    list.Save(words.c_str());
    const std::string base = FixtureBase();
    return LoadSearchData({base, base + ".schema", base + ".trie", words});
  }();
  FuzzCheck(data != nullptr, "the fixture's data set is served");
  return *data;
}

std::string ResponseFrame(const CSearchData& data, const QueryRequest& request) {
  CQuery query(data.schema(), data.store());
  query.Execute(request.text.c_str());
  CInputOutput io;
  int32_t length = 0;
  const char* packed = io.PackResult(query.GetPage(request.start, request.pageCount), &length);
  std::string frame(4, '\0');
  std::memcpy(&frame[0], &length, 4);
  return frame + std::string(packed, static_cast<size_t>(length));
}

// The connection writes daily log lines (in the scratch directory, the working directory),
// a few per input: the log is removed now and then so that long runs do not fill memory.
void DropDailyLogNowAndThen() {
  static int runs = 0;
  if (++runs % 4096 != 0) return;
  CloseDailyLog();
  if (DIR* directory = opendir(".")) {
    while (dirent* entry = readdir(directory)) {
      const std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) unlink(name.c_str());
    }
    closedir(directory);
  }
}

}  // namespace

int FuzzParseRequest(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  const auto bodySize = static_cast<int32_t>(size);
  CInputOutput io;
  const QueryRequest* request = io.ParseRequest(reinterpret_cast<const char*>(data), bodySize);
  // The reference: the three numbers when wholly inside, Q within the rest.
  const int32_t start = size >= 4 ? ReadInt32(data) : 0;
  const int32_t pageCount = size >= 8 ? ReadInt32(data + 4) : 20;
  const int32_t announced = size >= 12 ? ReadInt32(data + 8) : 0;
  const bool answerable = announced >= 0 && (size < 12 || announced <= bodySize - 12);
  FuzzCheck((request != nullptr) == answerable, "request refused exactly when Q is impossible");
  if (request == nullptr) return 0;
  FuzzCheck(request->start == start && request->pageCount == pageCount, "request numbers");
  const size_t length = request->text.size();
  FuzzCheck(length <= static_cast<size_t>(announced), "text within the body");
  FuzzCheck(std::memchr(request->text.data(), '\0', length) == nullptr, "text without NUL");
  FuzzCheck(length == 0 || std::memcmp(request->text.data(), data + 12, length) == 0,
            "text is the body's bytes");
  FuzzCheck(length == static_cast<size_t>(announced) || data[12 + length] == '\0',
            "text cut only at a NUL");
  // Packed again, it decodes to the same request.
  const QueryRequest copy = *request;
  CInputOutput client;
  int32_t packedLength = 0;
  const char* packed = client.PackRequest(copy, &packedLength);
  FuzzCheck(packed != nullptr && packedLength == 12 + static_cast<int32_t>(length),
            "request packs");
  CInputOutput server;
  const QueryRequest* again = server.ParseRequest(packed, packedLength);
  FuzzCheck(again != nullptr && again->text == copy.text && again->start == copy.start &&
                again->pageCount == copy.pageCount,
            "request round trip");
  return 1;
}

int FuzzUnpackResult(const uint8_t* data, size_t size) {
  CInputOutput io;
  const ResultPage* page =
      io.UnpackResult(reinterpret_cast<const char*>(data), static_cast<int64_t>(size));
  if (page == nullptr) return 0;
  const size_t cells = static_cast<size_t>(page->returned) * static_cast<size_t>(page->fieldCount);
  size_t sum = 0;
  for (int32_t length : page->valueLengths) {
    FuzzCheck(length >= 0, "value length");
    sum += static_cast<size_t>(length);
  }
  FuzzCheck(page->total >= 0 && page->returned >= 0 && page->fieldCount >= 0, "page counts");
  FuzzCheck(page->valueLengths.size() == cells && sum == page->text.size() &&
                20 + 4 * cells + sum == size,
            "page fits its body");
  // The server's packing gives the same bytes back.
  CInputOutput server;
  int32_t packedLength = 0;
  const char* packed = server.PackResult(*page, &packedLength);
  FuzzCheck(packed != nullptr && static_cast<size_t>(packedLength) == size &&
                std::memcmp(packed, data, size) == 0,
            "result round trip");
  // The client writes a document only for a page it asked for (query_client.cc bounds the
  // records by the page count); beyond these bounds the documents only make fuzzing slow.
  if (page->fieldCount > kMaxDocumentFields || page->returned > kMaxDocumentRecords) return 1;
  // The document under names of the schema's stored fields, as many as the page has.
  const std::vector<std::string>& stored = StoredNames();
  FuzzCheck(!stored.empty(), "the fixture stores fields");
  std::vector<std::string> names;
  for (int32_t i = 0; i < page->fieldCount; ++i) {
    names.push_back(stored[static_cast<size_t>(i) % stored.size()]);
  }
  std::string document;
  FuzzCheck(FormatResultDocument(*page, names, &document), "document of an unpacked page");
  CheckDocument(document, *page, names);
  // Names that are not the page's are refused.
  names.push_back(stored[0]);
  std::string refused;
  FuzzCheck(!FormatResultDocument(*page, names, &refused), "names and fields must agree");
  return 1;
}

int FuzzServeConnection(const uint8_t* data, size_t size) {
  constexpr int32_t kMaxRequest = 4096;
  if (size > 2 * kMaxRequest) return 0;  // stays within the socket buffer: no reader needed
  const CSearchData& served = ServedData();
  DropDailyLogNowAndThen();
  int ends[2];
  FuzzCheck(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0, "socket pair");
  FuzzCheck(::write(ends[0], data, size) == static_cast<ssize_t>(size), "request written");
  ::shutdown(ends[0], SHUT_WR);
  tConnectionLimits limits;
  limits.receiveTimeout = 2;
  limits.maxRequestBytes = kMaxRequest;
  ServAClient(CSocket(ends[1]), served, limits);
  std::string response;
  char buffer[65536];
  for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
    response.append(buffer, static_cast<size_t>(got));
  }
  ::close(ends[0]);
  // The reference: a whole frame within the limit holding a request that decodes is
  // answered with the engine's page; anything else gets no answer at all.
  std::string expected;
  int32_t length = -1;
  if (size >= 4) std::memcpy(&length, data, 4);
  if (length >= 0 && length <= kMaxRequest && size - 4 >= static_cast<size_t>(length)) {
    CInputOutput io;
    const QueryRequest* request = io.ParseRequest(reinterpret_cast<const char*>(data) + 4, length);
    if (request != nullptr) expected = ResponseFrame(served, *request);
  }
  FuzzCheck(response == expected, "the server answers as the engine does");
  return expected.empty() ? 0 : 1;
}

std::vector<std::string> ServeConnectionSeeds() {
  std::vector<std::string> seeds;
  for (const std::string& body : ParseRequestSeeds()) {
    std::string frame(4, '\0');
    const auto length = static_cast<int32_t>(body.size());
    std::memcpy(&frame[0], &length, 4);
    seeds.push_back(frame + body);
  }
  return seeds;
}

std::vector<std::string> ParseRequestSeeds() {
  std::vector<std::string> seeds;
  CInputOutput io;
  int32_t start = 0;
  for (const std::string& text : FixtureQueries()) {
    QueryRequest request;
    request.SetText(text.data(), text.size());
    request.start = start;
    request.pageCount = 1 + start % 7;
    start += 3;
    int32_t length = 0;
    const char* body = io.PackRequest(request, &length);
    if (body != nullptr) seeds.emplace_back(body, static_cast<size_t>(length));
  }
  return seeds;
}

std::vector<std::string> UnpackResultSeeds() {
  // The pages the fixture's queries give, packed as the server sends them.
  std::vector<std::string> seeds;
  const CQueryFixture& fixture = Fixture();
  CInputOutput io;
  for (const std::string& text : FixtureQueries()) {
    CQuery query(fixture.schema(), fixture.store());
    query.Execute(text.c_str());
    int32_t length = 0;
    const char* body = io.PackResult(query.GetPage(0, 3), &length);
    if (body != nullptr) seeds.emplace_back(body, static_cast<size_t>(length));
  }
  // Values that XML cannot carry as they are.
  ResultPage page;
  page.total = 9;
  page.start = 1;
  page.returned = 2;
  page.fieldCount = static_cast<int32_t>(StoredNames().size());
  const std::string values[] = {"<&>\"'", std::string("\t\x01\x7F\xFF\x80", 5), Gbk(u8"中文]]>"),
                                std::string("a\0b", 3)};
  for (int32_t cell = 0; cell < page.returned * page.fieldCount; ++cell) {
    const std::string& value = values[static_cast<size_t>(cell) % 4];
    page.valueLengths.push_back(static_cast<int32_t>(value.size()));
    page.text += value;
  }
  int32_t length = 0;
  const char* body = io.PackResult(page, &length);
  if (body != nullptr) seeds.emplace_back(body, static_cast<size_t>(length));
  return seeds;
}
