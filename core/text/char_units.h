// Character units: the terms of the contains indexes. A normalised text is cut into one unit
// per character, so that a value matches wherever its characters stand in a row, whatever
// the dictionary's segmentation made of them:
//  - a two-byte character (gbk_chars.h) is its value, lead * 256 + trail (0x8000..0xFFFF);
//  - an ASCII letter or digit belongs to a run of them, and its unit tells its place in
//    the run: a letter alone is kLoneBase + c, the first of a longer run kFirstBase + c, the
//    last kLastBase + c, any other c itself, with letters in lower case. A value's run
//    therefore matches only a whole run of the text ("cat" is not found in "category");
//  - any other byte (blanks, punctuation, a lone byte from 0x80 up) is its own value.
// Every unit is below kCharUnitCount, the size of a contains index's term table. The units of
// a text and of a query value are cut alike, so a value matches where its units stand at
// consecutive positions. No state; safe on any thread.
#pragma once

#include <cstdint>
#include <vector>

constexpr int32_t kCharUnitCount = 0x10000;
constexpr int32_t kLoneBase = 0x100;
constexpr int32_t kFirstBase = 0x200;
constexpr int32_t kLastBase = 0x300;

// Cuts the NUL-terminated normalised `text` into units, replacing *units; returns their
// count.
int CutIntoUnits(const char* text, std::vector<int32_t>* units);
// The same, with the byte offset of each unit in *offsets and the text's length after them
// (units + 1 entries).
int CutIntoUnits(const char* text, std::vector<int32_t>* units, std::vector<int32_t>* offsets);
