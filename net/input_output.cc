#include "net/input_output.h"

#include <cstring>
#include <limits>

#include "core/util/byte_io.h"

namespace {

constexpr size_t kInitialCapacity = 1024;
constexpr size_t kSlack = 100;  // room kept above the body that caused a buffer to grow
constexpr int64_t kMaxBody = std::numeric_limits<int32_t>::max();

int32_t ReadI32At(const char* data, size_t offset) {
  int32_t value;
  std::memcpy(&value, data + offset, 4);
  return value;
}

void WriteI32At(char* data, size_t offset, int32_t value) { std::memcpy(data + offset, &value, 4); }

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

void CInputOutput::Reserve(size_t size) {
  if (m_buffer.capacity() < size) m_buffer.reserve(size + kSlack);
  m_buffer.resize(size);
}

const QueryRequest* CInputOutput::ParseRequest(const char* body, int32_t size) {
  m_request.start = 0;
  m_request.pageCount = 20;
  m_request.text.clear();
  m_position = 0;
  const size_t available = size > 0 ? static_cast<size_t>(size) : 0;
  int32_t queryLength = 0;
  if (available >= 4) m_request.start = ReadI32At(body, 0), m_position = 4;
  if (available >= 8) m_request.pageCount = ReadI32At(body, 4), m_position = 8;
  if (available >= 12) queryLength = ReadI32At(body, 8), m_position = 12;
  if (queryLength < 0 || static_cast<size_t>(queryLength) > available - m_position) {
    return nullptr;
  }
  if (queryLength > 0) m_request.SetText(body + m_position, static_cast<size_t>(queryLength));
  m_position += queryLength;
  return &m_request;
}

const char* CInputOutput::PackResult(const ResultPage& page, int32_t* length) {
  *length = 0;
  const int64_t cells = int64_t{page.returned} * page.fieldCount;
  if (page.returned < 0 || page.fieldCount < 0 ||
      static_cast<int64_t>(page.valueLengths.size()) != cells) {
    return nullptr;
  }
  const int64_t total = 20 + 4 * cells + static_cast<int64_t>(page.text.size());
  if (total > kMaxBody) return nullptr;
  Reserve(static_cast<size_t>(total));
  char* out = &m_buffer[0];
  WriteI32At(out, 0, page.total);
  WriteI32At(out, 4, page.start);
  WriteI32At(out, 8, page.returned);
  WriteI32At(out, 12, page.fieldCount);
  WriteI32At(out, 16, static_cast<int32_t>(page.text.size()));
  if (cells > 0) std::memcpy(out + 20, page.valueLengths.data(), static_cast<size_t>(cells) * 4);
  if (!page.text.empty()) {
    std::memcpy(out + 20 + cells * 4, page.text.data(), page.text.size());
  }
  m_position = static_cast<int32_t>(total);
  *length = m_position;
  return m_buffer.data();
}

const char* CInputOutput::PackRequest(const QueryRequest& request, int32_t* length) {
  *length = 0;
  const int64_t total = 12 + static_cast<int64_t>(request.text.size());
  if (total > kMaxBody) return nullptr;
  Reserve(static_cast<size_t>(total));
  char* out = &m_buffer[0];
  WriteI32At(out, 0, request.start);
  WriteI32At(out, 4, request.pageCount);
  WriteI32At(out, 8, static_cast<int32_t>(request.text.size()));
  if (!request.text.empty()) std::memcpy(out + 12, request.text.data(), request.text.size());
  m_position = static_cast<int32_t>(total);
  *length = m_position;
  return m_buffer.data();
}

const ResultPage* CInputOutput::UnpackResult(const char* body, int64_t size) {
  m_page.total = m_page.start = m_page.returned = m_page.fieldCount = 0;
  m_page.valueLengths.clear();
  m_page.text.clear();
  m_position = 0;
  if (size < 20) return nullptr;
  CByteReader reader(body, static_cast<size_t>(size));
  int32_t header[5];
  reader.ReadI32Array(header, 5);
  const int32_t total = header[0], start = header[1], returned = header[2], fieldCount = header[3],
                textLength = header[4];
  if (returned < 0 || fieldCount < 0 || textLength < 0 || total < 0) return nullptr;
  // The cell count is bounded by the body before it is scaled: two hostile counts multiply to
  // up to 2^62, which four bytes a cell would overflow.
  const int64_t cells = int64_t{returned} * fieldCount;
  if (cells > (size - 20) / 4 || 20 + 4 * cells + textLength != size) return nullptr;
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
  m_position = static_cast<int32_t>(size);
  return &m_page;
}
