#include "net/input_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/util/byte_io.h"

namespace {

std::string Ints(std::initializer_list<int32_t> values) {
  std::string out;
  for (int32_t value : values) PutI32(&out, value);
  return out;
}

ResultPage MakePage(int32_t total, int32_t start, int32_t fieldCount,
                    const std::vector<std::string>& values) {
  ResultPage page;
  page.total = total;
  page.start = start;
  page.fieldCount = fieldCount;
  page.returned = fieldCount > 0 ? static_cast<int32_t>(values.size()) / fieldCount : 0;
  for (const std::string& value : values) {
    page.valueLengths.push_back(static_cast<int32_t>(value.size()));
    page.text += value;
  }
  return page;
}

TEST(ParseRequestTest, FieldsOutsideTheBodyKeepTheirDefaults) {
  struct Case {
    std::string body;
    bool accepted;
    int32_t start, pageCount;
    std::string text;
  } cases[] = {
      {"", true, 0, 20, ""},
      {"\x07\x00", true, 0, 20, ""},
      {Ints({5}), true, 5, 20, ""},
      {Ints({5, 9}), true, 5, 9, ""},
      {Ints({5, 9}) + "\x03\x00", true, 5, 9, ""},
      {Ints({5, 9, 0}), true, 5, 9, ""},
      {Ints({-3, -1, 2}) + "ab", true, -3, -1, "ab"},
      {Ints({1, 2, 3}) + std::string("a\0bEXTRA", 8), true, 1, 2, "a"},  // cut at the NUL
      {Ints({1, 2, 2}) + "abcdef", true, 1, 2, "ab"},                    // bytes past Q are ignored
      {Ints({1, 2, 3}) + "ab", false, 0, 0, ""},                         // Q > B - 12
      {Ints({1, 2, -1}), false, 0, 0, ""},
      {Ints({1, 2, 0x7FFFFFFF}) + "ab", false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    CInputOutput io;
    const QueryRequest* request =
        io.ParseRequest(c.body.data(), static_cast<int32_t>(c.body.size()));
    ASSERT_EQ(request != nullptr, c.accepted) << c.body.size();
    if (!c.accepted) continue;
    EXPECT_EQ(request->start, c.start);
    EXPECT_EQ(request->pageCount, c.pageCount);
    EXPECT_EQ(request->text, c.text);
  }
}

TEST(PackTest, RequestAndResultRoundTrip) {
  CInputOutput client, server;
  QueryRequest request;
  request.SetText("[FIELD] title [AND] \xD6\xD0\xB9\xFA");
  request.start = 40;
  request.pageCount = 15;
  int32_t length = 0;
  const char* body = client.PackRequest(request, &length);
  ASSERT_EQ(length, 12 + static_cast<int32_t>(request.text.size()));
  const QueryRequest* parsed = server.ParseRequest(body, length);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->text, request.text);
  EXPECT_EQ(parsed->start, 40);
  EXPECT_EQ(parsed->pageCount, 15);
  // Packed from its parts, the request is the same bytes.
  const std::string packed(body, static_cast<size_t>(length));
  int32_t partsLength = 0;
  const char* parts = client.PackRequest(40, 15, request.text.c_str(), &partsLength);
  EXPECT_EQ(std::string(parts, static_cast<size_t>(partsLength)), packed);

  // An empty value keeps the records around it aligned.
  ResultPage page = MakePage(123, 40, 3, {"a", "", "ccc", "dd", "e\0f", ""});
  page.text[page.text.size() - 2] = '\0';
  body = server.PackResult(page, &length);
  ASSERT_EQ(length, 20 + 4 * 6 + static_cast<int32_t>(page.text.size()));
  const ResultPage* unpacked = client.UnpackResult(body, length);
  ASSERT_NE(unpacked, nullptr);
  EXPECT_EQ(unpacked->total, 123);
  EXPECT_EQ(unpacked->start, 40);
  EXPECT_EQ(unpacked->returned, 2);
  EXPECT_EQ(unpacked->fieldCount, 3);
  EXPECT_EQ(unpacked->valueLengths, page.valueLengths);
  EXPECT_EQ(unpacked->text, page.text);
}

TEST(PackTest, EmptyPageIsTwentyBytesAndBuffersOnlyGrow) {
  CInputOutput io;
  int32_t length = 0;
  ResultPage big = MakePage(1, 0, 40, std::vector<std::string>(40, std::string(125, 'x')));
  const char* body = io.PackResult(big, &length);
  EXPECT_EQ(length, 5000 + 160 + 20);
  ResultPage empty = MakePage(7, 9, 4, {});
  const char* again = io.PackResult(empty, &length);
  EXPECT_EQ(length, 20);
  EXPECT_EQ(again, body);  // the grown buffer is kept
  EXPECT_EQ(std::string(again, 20), Ints({7, 9, 0, 4, 0}));
}

TEST(UnpackResultTest, RefusesCountsThatDoNotFitTheBody) {
  const std::string good = Ints({5, 0, 1, 2, 3, 1, 2}) + "abc";
  const std::string cases[] = {
      Ints({5, 0, 1, 2, 3, 1, 2}) + "ab",          // shorter than 20 + 4RF + T
      Ints({5, 0, 1, 2, 3, 1, 2}) + "abcd",        // longer
      Ints({5, 0, 1, 2, 3, -1, 4}) + "abc",        // a negative value length
      Ints({5, 0, 1, 2, 3, 1, 1}) + "abc",         // lengths do not add up to T
      Ints({5, 0, -1, 2, 3}) + "abc",              // negative R
      Ints({5, 0, 0x40000000, 0x40000000, 0}),     // R*F overflows 32 bits
      Ints({5, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0}),     // 4*R*F overflows 64 bits
      Ints({5, 0, 1, 1, 0x7FFFFFFF, 0x7FFFFFFF}),  // T far beyond the body
      Ints({5, 0, 0, 0}),                          // shorter than the header
  };
  CInputOutput io;
  ASSERT_NE(io.UnpackResult(good.data(), static_cast<int64_t>(good.size())), nullptr);
  for (const std::string& body : cases) {
    EXPECT_EQ(io.UnpackResult(body.data(), static_cast<int64_t>(body.size())), nullptr)
        << body.size();
    EXPECT_EQ(io.page().returned, 0);
  }
}

}  // namespace
