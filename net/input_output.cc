#include "net/input_output.h"

#include <cstring>
#include <limits>

#include "core/util/byte_io.h"

namespace {

constexpr size_t kInitialCapacity = 1024;
constexpr size_t kSlack = 100;  // room kept above the body that caused a buffer to grow
constexpr int64_t kMaxBody = std::numeric_limits<int32_t>::max();

}  // namespace

QueryRequest::QueryRequest() { text.reserve(kInitialCapacity); }

void QueryRequest::SetText(const char* value, size_t length) {
  const void* nul = std::memchr(value, '\0', length);
  if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - value);
  text.assign(value, length);
}

void QueryRequest::SetText(const char* value) { SetText(value, std::strlen(value)); }

CInputOutput::CInputOutput() {
  m_buffer.reserve(kInitialCapacity);
  m_page.text.reserve(kInitialCapacity);
}

CInputOutput::~CInputOutput() = default;

void CInputOutput::StartBody(size_t size) {
  m_buffer.clear();
  if (m_buffer.capacity() < size) m_buffer.reserve(size + kSlack);
}

const QueryRequest* CInputOutput::ParseRequest(const char* body, int32_t size) {
  m_request.start = 0;
  m_request.pageCount = 20;
  m_request.text.clear();
  CByteReader reader(body, size > 0 ? static_cast<size_t>(size) : 0);
  int32_t value = 0;
  if (reader.ReadI32(&value)) m_request.start = value;
  if (reader.ReadI32(&value)) m_request.pageCount = value;
  int32_t queryLength = 0;
  reader.ReadI32(&queryLength);  // stays 0 when the body ends before it
  const char* text = nullptr;
  if (queryLength < 0 || !reader.ReadBytes(static_cast<size_t>(queryLength), &text)) {
    return nullptr;
  }
  if (queryLength > 0) m_request.SetText(text, static_cast<size_t>(queryLength));
  return &m_request;
}

const char* CInputOutput::PackResult(const ResultPage& page, int32_t* length) {
  *length = 0;
  const int64_t cells = int64_t{page.returned} * page.fieldCount;
  if (page.returned < 0 || page.fieldCount < 0 ||
      static_cast<int64_t>(page.valueLengths.size()) != cells) {
    return nullptr;
  }
  const int64_t total = kPageHeaderBytes + 4 * cells + static_cast<int64_t>(page.text.size());
  if (total > kMaxBody) return nullptr;
  StartBody(static_cast<size_t>(total));
  PutI32(&m_buffer, page.total);
  PutI32(&m_buffer, page.start);
  PutI32(&m_buffer, page.returned);
  PutI32(&m_buffer, page.fieldCount);
  PutI32(&m_buffer, static_cast<int32_t>(page.text.size()));
  if (cells > 0) PutBytes(&m_buffer, page.valueLengths.data(), static_cast<size_t>(cells) * 4);
  m_buffer += page.text;
  *length = static_cast<int32_t>(total);
  return m_buffer.data();
}

const char* CInputOutput::PackRequest(const QueryRequest& request, int32_t* length) {
  return PackBody(request.start, request.pageCount, request.text.data(), request.text.size(),
                  length);
}

const char* CInputOutput::PackRequest(int32_t start, int32_t pageCount, const char* text,
                                      int32_t* length) {
  return PackBody(start, pageCount, text, std::strlen(text), length);
}

const char* CInputOutput::PackBody(int32_t start, int32_t pageCount, const char* text,
                                   size_t textLength, int32_t* length) {
  *length = 0;
  const int64_t total = 12 + static_cast<int64_t>(textLength);
  if (total > kMaxBody) return nullptr;
  StartBody(static_cast<size_t>(total));
  PutI32(&m_buffer, start);
  PutI32(&m_buffer, pageCount);
  PutI32(&m_buffer, static_cast<int32_t>(textLength));
  m_buffer.append(text, textLength);
  *length = static_cast<int32_t>(total);
  return m_buffer.data();
}

const ResultPage* CInputOutput::UnpackResult(const char* body, int64_t size) {
  m_page.total = m_page.start = m_page.returned = m_page.fieldCount = 0;
  m_page.valueLengths.clear();
  m_page.text.clear();
  if (size < kPageHeaderBytes) return nullptr;
  CByteReader reader(body, static_cast<size_t>(size));
  int32_t header[5];
  reader.ReadI32Array(header, 5);
  const int32_t total = header[0], start = header[1], returned = header[2], fieldCount = header[3],
                textLength = header[4];
  if (returned < 0 || fieldCount < 0 || textLength < 0 || total < 0) return nullptr;
  // The cell count is bounded by the body before it is scaled: two hostile counts multiply to
  // up to 2^62, which four bytes a cell would overflow.
  const int64_t cells = int64_t{returned} * fieldCount;
  if (cells > (size - kPageHeaderBytes) / 4 || kPageHeaderBytes + 4 * cells + textLength != size) {
    return nullptr;
  }
  m_page.valueLengths.resize(static_cast<size_t>(cells));
  reader.ReadI32Array(m_page.valueLengths.data(), static_cast<size_t>(cells));
  int64_t sum = 0;
  for (int32_t valueLength : m_page.valueLengths) {
    if (valueLength < 0) sum = -1;
    if (sum < 0) break;
    sum += valueLength;
  }
  if (sum != textLength) {
    m_page.valueLengths.clear();
    return nullptr;
  }
  const char* text = nullptr;
  reader.ReadBytes(static_cast<size_t>(textLength), &text);
  m_page.text.assign(text, static_cast<size_t>(textLength));
  m_page.total = total;
  m_page.start = start;
  m_page.returned = returned;
  m_page.fieldCount = fieldCount;
  return &m_page;
}
