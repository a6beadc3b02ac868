// The encoding of the text a database hands over as bytes, a setting of the database
// configuration (<SourceEncoding>): UTF-8 (the default) or GBK. The database layer decodes
// every text and binary value by it, the same way in every row; a value that is not valid
// in it is reported and its bad bytes become "?" (see core/scan/db/README.md).
#pragma once

#include <string>

enum class SourceEncoding { kUtf8, kGbk };

// Reads a configuration value: "UTF-8" or "UTF8", "GBK" (ASCII case ignored); an empty value
// means UTF-8. False, *encoding unchanged, for anything else.
bool ParseSourceEncoding(const std::string& text, SourceEncoding* encoding);

// "UTF-8" or "GBK".
const char* SourceEncodingName(SourceEncoding encoding);
