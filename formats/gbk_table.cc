#include "formats/gbk_table.h"

#include <iconv.h>

#include <cstring>

namespace {

// One converter to UTF-32LE; Convert gives the code point of a whole sequence, 0 when the
// sequence is not exactly one character.
class CConverter {
 public:
  explicit CConverter(const char* from) : m_cd(::iconv_open("UTF-32LE", from)) {}
  ~CConverter() {
    if (valid()) ::iconv_close(m_cd);
  }
  CConverter(const CConverter&) = delete;
  CConverter& operator=(const CConverter&) = delete;

  bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

  uint32_t Convert(const unsigned char* bytes, size_t size) {
    if (!valid()) return 0;
    ::iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    char input[2];
    std::memcpy(input, bytes, size);
    char output[8];
    char* in = input;
    char* out = output;
    size_t inLeft = size, outLeft = sizeof output;
    if (::iconv(m_cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) return 0;
    if (inLeft != 0 || sizeof output - outLeft != 4) return 0;
    uint32_t code;
    std::memcpy(&code, output, 4);
    return code;
  }

 private:
  iconv_t m_cd;
};

}  // namespace

const CGbkTable& CGbkTable::Get() {
  static const CGbkTable table;
  return table;
}

CGbkTable::CGbkTable() {
  CConverter gbk("GBK");
  CConverter gb2312("GB2312");
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const unsigned char bytes[2] = {static_cast<unsigned char>(lead),
                                      static_cast<unsigned char>(trail)};
      const uint32_t code = gbk.Convert(bytes, 2);
      if (code == 0) continue;
      const auto index = static_cast<size_t>(PairIndex(bytes[0], bytes[1]));
      m_pairCode[index] = code;
      m_pairClass[static_cast<size_t>(lead) << 8 | static_cast<size_t>(trail)] =
          gb2312.Convert(bytes, 2) == code ? kGb2312 : kGbkOnly;
    }
  }
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const unsigned char single = static_cast<unsigned char>(byte);
    const uint32_t code = gbk.Convert(&single, 1);
    if (code == 0) continue;
    m_singleClass[static_cast<size_t>(byte - 0x80)] =
        gb2312.Convert(&single, 1) == code ? kGb2312 : kGbkOnly;
  }
}
