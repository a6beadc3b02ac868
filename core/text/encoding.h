// Text encoding between GBK, the code page of every stored text, and UTF-8, the form of the
// HTTP interface and of UTF-8 databases. The one place that converts: the C library's iconv
// sits behind this module, one descriptor per thread and direction (a descriptor carries
// conversion state and must not be shared).
//
// Thread safety: every function may run on many threads at once.
#pragma once

#include <cstddef>
#include <string>

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const char* text, size_t size);
inline bool IsValidUtf8(const std::string& text) { return IsValidUtf8(text.data(), text.size()); }

// The GBK form of valid UTF-8 into *gbk; false when the text is not valid UTF-8 or a
// character has no GBK form (*gbk then undefined).
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);

// Appends the UTF-8 form of GBK bytes; each byte that does not start a GBK character (or ends
// the text inside one) becomes U+FFFD, and decoding goes on at the next byte.
void AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8);

// The UTF-8 form of GBK text, as AppendGbkAsUtf8 writes it.
std::string GbkToUtf8(const std::string& gbk);
