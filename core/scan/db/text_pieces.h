// Reading a wide-character value in pieces without trusting the length the driver reports.
// Some drivers report a length that differs from what they wrote (one ODBC driver reports a
// few characters too few for UTF-16 fetches of utf8mb4 text); the terminator a driver writes
// after the text of every piece is the reliable mark. The piece buffer is kept filled with
// kPieceSentinel wherever the driver has not written, so that a unit beyond the text can be
// told from text: the sentinel is a noncharacter, which no driver writes as text.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char16_t kPieceSentinel = 0xFFFF;

// The number of text units the driver wrote into `piece` (capacity `capacity` units, text
// and terminator) in a call that ended the value, given the length it reported in units
// (`reportedUnits`, negative when it reported none). The report is taken when the terminator
// stands where it says; otherwise the terminator is looked for after the reported length (the
// driver wrote more) and then before it (the driver wrote less). Without any terminator, the
// units before the first sentinel. REQUIRES: units not written in the call are kPieceSentinel.
size_t WrittenTextUnits(const char16_t* piece, size_t capacity, int64_t reportedUnits);
