// CInputOutput: the two bodies that travel between client and server, as bytes. The request
// body is start, page count and the query length Q (three little-endian int32), then the Q
// query bytes; its length is 12 + Q. The result body is total, start, R (records returned),
// F (stored fields per record) and T (text length), then R*F value lengths (record-major),
// then the T bytes of the values; its length is 20 + 4*R*F + T.
//
// Decoding never reads outside the given body: a request field that is not wholly inside it
// keeps its default, and a result whose counts do not fit its length is refused. Buffers only
// grow, so one object reused for many bodies stops allocating.
//
// Ownership: returned buffers and records belong to the object and stay valid until its next
// operation or its destruction. Thread safety: one object per connection or call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/query/result_page.h"

// One query as the client states it.
struct QueryRequest {
  QueryRequest();
  // Copies `text` up to its first NUL (or `length` bytes, whichever ends first).
  void SetText(const char* text, size_t length);
  void SetText(const char* text);

  std::string text;  // GBK query text; text.size() is the text length
  int32_t start = 0;
  int32_t pageCount = 20;
};

class CInputOutput {
 public:
  CInputOutput();
  virtual ~CInputOutput();
  CInputOutput(const CInputOutput&) = delete;
  CInputOutput& operator=(const CInputOutput&) = delete;

  // Server: decodes a request body of `size` bytes. Start, page count and Q are read only
  // when wholly inside the body (otherwise 0, 20 and 0); the text is cut at its first NUL.
  // Returns null when the body announces Q < 0 or Q > size - 12: such a request cannot be
  // answered and the connection is dropped.
  const QueryRequest* ParseRequest(const char* body, int32_t size);

  // Server: packs `page`; *length receives the body length. Returns null (and *length 0)
  // when the body would not fit in an int32 length, or the page's lists disagree with its
  // counts.
  const char* PackResult(const ResultPage& page, int32_t* length);

  // Client: packs `request`; *length receives 12 + Q. Null when the text is too long for a
  // frame.
  const char* PackRequest(const QueryRequest& request, int32_t* length);
  // The same for a request given by its parts, the text being `text` up to its first NUL:
  // the text is copied once, into the body.
  const char* PackRequest(int32_t start, int32_t pageCount, const char* text, int32_t* length);

  // Client: decodes a result body of `size` bytes into the owned page and returns it. Null
  // (page cleared) unless all counts are non-negative, size equals 20 + 4*R*F + T exactly,
  // and the value lengths are non-negative and add up to T.
  const ResultPage* UnpackResult(const char* body, int64_t size);

  const ResultPage& page() const { return m_page; }

 private:
  // Empties the body buffer and makes room for `size` bytes (capacity only grows).
  void StartBody(size_t size);
  const char* PackBody(int32_t start, int32_t pageCount, const char* text, size_t textLength,
                       int32_t* length);

  std::string m_buffer;  // the last packed body; capacity only grows
  QueryRequest m_request;
  ResultPage m_page;
};
