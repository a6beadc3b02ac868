// CProgressOutput: console progress text gathered into large writes to standard output, so
// that one line per dictionary word costs no system call of its own. The text reaches
// stdout's own buffer in order with any printf before or after; Flush hands it over early
// (before writing to standard error, for example).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

class CProgressOutput {
 public:
  CProgressOutput() = default;
  virtual ~CProgressOutput() { Flush(); }
  CProgressOutput(const CProgressOutput&) = delete;
  CProgressOutput& operator=(const CProgressOutput&) = delete;

  void Bytes(const char* data, size_t size) {
    m_buffer.append(data, size);
    if (m_buffer.size() >= kFlushSize) Flush();
  }
  void Text(const char* text) { Bytes(text, std::strlen(text)); }
  void Byte(char byte) { Bytes(&byte, 1); }
  void Number(int64_t value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* first = end;
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
      *--first = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--first = '-';
    Bytes(first, static_cast<size_t>(end - first));
  }
  void Flush() {
    if (!m_buffer.empty()) std::fwrite(m_buffer.data(), 1, m_buffer.size(), stdout);
    m_buffer.clear();
  }

 private:
  static constexpr size_t kFlushSize = 1 << 16;
  std::string m_buffer;
};
