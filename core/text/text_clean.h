// Cleaning of raw field text before it reaches the index: StripMarkup removes HTML-like
// markup (tags, comments, script elements, entities, percent escapes, brace blocks and
// "nbsp;"), NormalizeText folds case, full-width letters and digits and a fixed set of
// punctuation so that index and query see the same words. Both work on GBK bytes: a byte of
// 0x80 or above starts a two-byte character whose second byte (0x40..0xFE) may look like
// ASCII ("{", "}", "n", ...), so both step over such a character as a whole and never split
// it. Neither allocates nor keeps state; all three functions are safe on any thread.
#pragma once

// Copies `input[0..length)` to `output` without markup; every removed piece becomes one
// space, a percent escape "%XY" becomes the byte it encodes. Stores the number of bytes
// written in *outputLength and a NUL after them, so `output` needs length + 1 bytes.
// `output` may be `input` itself: the output never overtakes the input. Reads only
// input[0..length), never relies on a terminator, and copies NUL bytes like any other.
void StripMarkup(const char* input, int length, char* output, int* outputLength);

// Rewrites the NUL-terminated `text` in place (the result is never longer): ASCII capitals
// to lower case; full-width digits and letters to ASCII (a full-width capital stays a
// capital); the brackets （【 to "(", ）】 to ")"; the marks ＼｜，．。、‘“”＇－— and the
// character AA A4 and the bytes '"' ',' '/' '_' to a tab. Other characters are kept.
void NormalizeText(char* text);

// Position of the first occurrence of `key` in `text` (both NUL-terminated), or -1 when the
// key is empty, absent, or its first occurrence starts at an odd offset. With `text` a
// string of two-byte characters this answers "is the character `key` one of them".
int FindAligned(const char* text, const char* key);
