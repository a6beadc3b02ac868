// ResultPage: one page of a query's hits with the stored field values of each. The values
// are concatenated in `text` record after record, within a record in the order of the
// schema's stored list, without separators or terminators; `valueLengths` (returned *
// fieldCount entries, record-major) holds the only boundaries. Filled by CQuery::GetPage on
// the server and from the wire by the client library.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct ResultPage {
  int32_t total = 0;       // hits of the whole query
  int32_t start = 0;       // 0-based position of the first returned hit
  int32_t returned = 0;    // records in this page
  int32_t fieldCount = 0;  // stored fields per record
  std::vector<int32_t> valueLengths;
  std::string text;  // text.size() is the text length
};

// The packed form of a page (net/input_output.h): a header of five int32 counts (total,
// start, returned, fields per record, text length), then 4 bytes per value and the values.
constexpr int32_t kPageHeaderBytes = 20;

// The packed size of a page as records are added to it: the header, then 4 bytes and the bytes
// of each value. A page ends before the first record that would take its packed form past an
// int32 length; the pages of CQuery::GetPage and of the broker's splice both end so.
class CPackedPageBudget {
 public:
  // Counts a record of `values` values holding `bytes` bytes and returns true when the page
  // still fits an int32 length; false, counting nothing, when it would not.
  bool Take(int64_t values, int64_t bytes) {
    const int64_t record = 4 * values + bytes;
    if (m_size + record > std::numeric_limits<int32_t>::max()) return false;
    m_size += record;
    return true;
  }
  int64_t size() const { return m_size; }

 private:
  int64_t m_size = kPageHeaderBytes;
};
