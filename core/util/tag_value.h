// Reader for the tag-value configuration texts ("<Key>value</Key>"). There is no document
// structure: the first "<Key>" anywhere in the text opens the value, the first "</Key>" after
// it closes it (or the end of the text). Tags are matched whole, so one key never reads
// another key that ends or starts with it. Keys are case-sensitive; values are taken exactly,
// blanks and line breaks included.
#pragma once

#include <cstddef>
#include <string>

// Stores the value of `name` in *value and returns true; when the key is absent, stores the
// empty string and returns false. `text` is NUL-terminated.
bool GetTagValue(const char* text, const char* name, std::string* value);

// As above, for callers that keep a fixed value buffer of `limit` bytes (terminator
// included): a longer value is refused (false, *value emptied, *tooLong set) instead of
// being cut.
bool GetTagValueLimited(const char* text, const char* name, size_t limit, std::string* value,
                        bool* tooLong);
