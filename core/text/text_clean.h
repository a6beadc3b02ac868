// Cleaning of raw field text before it reaches the index: StripMarkup removes HTML-like
// markup (tags, comments, script elements, entities, percent escapes, brace blocks and
// "nbsp;"), NormalizeText folds case, full-width letters and digits and a fixed set of
// punctuation so that index and query see the same words. Both read characters by the rules
// of gbk_chars.h: a two-byte character's second byte (0x40..0xFE) may look like ASCII ("{",
// "}", "n", ...), so both step over such a character as a whole and never split it. Neither
// allocates nor keeps state; both are safe on any thread.
#pragma once

// Copies `input[0..length)` to `output` without markup; every removed piece becomes one
// space, a percent escape "%XY" becomes the byte it encodes. Stores the number of bytes
// written in *outputLength and a NUL after them, so `output` needs length + 1 bytes.
// `output` may be `input` itself: the output never overtakes the input. Reads only
// input[0..length), never relies on a terminator, and copies NUL bytes like any other.
void StripMarkup(const char* input, int length, char* output, int* outputLength);

// Rewrites the NUL-terminated `text` in place, each character as gbk::CNormalization says
// (case folded, full-width digits and letters made ASCII, some punctuation made a tab or a
// parenthesis); the result is never longer.
void NormalizeText(char* text);
