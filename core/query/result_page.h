// ResultPage: one page of a query's hits with the stored field values of each. The values
// are concatenated in `text` record after record, within a record in the order of the
// schema's stored list, without separators or terminators; `valueLengths` (returned *
// fieldCount entries, record-major) holds the only boundaries. Filled by CQuery::GetPage on
// the server and from the wire by the client library.
#pragma once

#include <cstdint>
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
