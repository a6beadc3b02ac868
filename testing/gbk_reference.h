// Reference models of how stored GBK values are shown: decoded to UTF-8 for JSON, cleaned for
// the XML result document. Written the plain way, character by character, each character
// converted on its own through the platform's converter, so that the table-driven one-pass
// code of core/text/encoding and formats/xml_text can be compared with them.
//
// The reading: a byte below 0x80 is a character; a lead byte 0x81-0xFE followed by a trail
// byte 0x40-0x7E or 0x80-0xFE is one two-byte character, mapped or not; any other byte from
// 0x80 up stands alone.
#pragma once

#include <string>

// UTF-8 of `gbk`: each character its Unicode form, or U+FFFD when GBK maps nothing there.
std::string ReferenceGbkToUtf8(const std::string& gbk);

// The XML text of `gbk`: control bytes other than tab, LF and CR become a blank, each
// character GBK maps is kept, each other one becomes one blank.
std::string ReferenceDocumentText(const std::string& gbk);
