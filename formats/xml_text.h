// The text and the element names of the result document in a form every XML parser accepts.
// Values are GBK bytes from the server; XML 1.0 cannot carry control characters other than
// tab, line feed and carriage return (not even as character references), and a parser that
// decodes the declared encoding rejects any byte that is not part of a character. Both are
// written as one blank each. Everything else passes unchanged; the markup characters are
// escaped later by the XML printer.
#pragma once

#include <cstddef>
#include <string>

// Appends `size` bytes of `value` to *out with every control byte other than tab, LF and CR
// replaced by a blank. GBK is read pair by pair as in core/text/encoding.h: a pair of the
// two-byte shape that is no character becomes one blank; a byte from 0x80 up whose trail is
// missing or cannot follow it counts alone (a blank unless it is a character by itself) and
// the trail is read afresh. Linear in the value. Returns
// true when the value holds a character outside GB2312, i.e. the document must be declared
// "GBK".
bool AppendDocumentText(const char* value, size_t size, std::string* out);

// True when `name` (GBK) can name an XML element: a non-empty sequence of characters that
// are name characters of XML 1.0, the first of which may start a name, and no byte that is
// not part of a GBK character. *gbkOnly is set when the name holds a character outside
// GB2312.
bool IsDocumentName(const std::string& name, bool* gbkOnly);
