// The console of the programs: what they print is GBK (the engine's code page) when standard
// output is a file or a pipe, and UTF-8 when it is a terminal whose locale is UTF-8.
// TRINDLE_CONSOLE=gbk|utf8|auto (auto when unset) forces either. Files never change: only
// standard output and standard error are converted.
//
// SetUpConsole() runs once at the start of main(). For each of stdout and stderr that is to
// be UTF-8 it replaces the C stream with one that converts GBK to UTF-8 on its way to the
// same descriptor, so every printf of a GBK message converts without touching its call. A
// converting stream is unbuffered (each call is converted and written at once; a program must
// not give it a buffer with setvbuf, or its last bytes would be converted during exit(), after
// the converter is gone). A two-byte character split across two writes is held back until its
// second byte arrives (CGbkToUtf8Decoder of core/text/encoding.h). A GBK stream is left untouched,
// so the bytes of a pipe or a file are exactly those of the program.
//
// The query that mode 5 takes on its command line is in the console's encoding too:
// ConsoleTextToGbk turns it into the engine's GBK, or refuses a text that is not valid.
//
// Thread safety: SetUpConsole before any other thread starts; afterwards the converting
// streams are locked by stdio like any stream, and the other functions keep no state.
#pragma once

#include <cstddef>
#include <string>

enum class ConsoleEncoding { kGbk, kUtf8 };

// The value of TRINDLE_CONSOLE: null, "" and "auto" choose by the stream, "gbk" and "utf8"
// (also "utf-8", either case) force. False for any other text, which then counts as auto.
bool ParseConsoleSetting(const char* setting, bool* forced, ConsoleEncoding* encoding);

// The encoding of one stream: forced by the setting, else UTF-8 exactly when the stream is a
// terminal and the locale is UTF-8.
ConsoleEncoding ChooseConsoleEncoding(const char* setting, bool isTerminal, bool utf8Locale);

// True when the locale of character types, as the environment names it (LC_ALL, else
// LC_CTYPE, else LANG, the first that is set and not empty), is a UTF-8 one ("C.UTF-8",
// "zh_CN.utf8"). The name is read, not loaded, so a locale that is not installed counts too.
bool LocaleNamesUtf8(const char* lcAll, const char* lcCtype, const char* lang);

// The encoding standard output would get from TRINDLE_CONSOLE, the terminal and the locale,
// without installing anything: for a program that converts what it prints itself.
ConsoleEncoding DecideStdoutEncoding();

// Chooses the encoding of stdout and stderr from TRINDLE_CONSOLE, the terminals and the
// locale, and installs the converting streams. An invalid TRINDLE_CONSOLE is named on
// stderr once and counts as auto. Call once, before anything is printed.
void SetUpConsole();

// What SetUpConsole chose for standard output (GBK before it ran). Command-line text is
// taken in this encoding.
ConsoleEncoding StdoutEncoding();

// True when standard output is a terminal (decided by SetUpConsole).
bool StdoutIsTerminal();

// Columns of the terminal on standard output: its window size, else $COLUMNS, else 80.
int TerminalColumns();

// True when command-line `text` that is taken as GBK was most likely typed in UTF-8: the
// console is GBK by itself (auto, standard output not a terminal), yet the locale is UTF-8 and
// the text is valid UTF-8 with characters beyond ASCII (GBK text rarely is). A program may
// then say on standard error how to have it read as UTF-8; the text is still taken as GBK.
bool LooksLikeUtf8OnAGbkConsole(const std::string& text);

// Text typed on the command line, in `encoding`, as GBK. False when the text is not valid
// there: from UTF-8, text that is not valid UTF-8 or holds a character GBK lacks; from GBK,
// a byte 0x80..0xFF that does not start a GBK character with the byte after it.
bool ConsoleTextToGbk(const std::string& text, ConsoleEncoding encoding, std::string* gbk);

// Terminal columns of GBK text: two for each character a terminal shows wide (CJK
// ideographs and punctuation, kana, Hangul, fullwidth forms), one for every other character
// (ASCII, Latin, Greek and Cyrillic letters, box drawing, "——").
size_t GbkColumns(const std::string& text);

// The longest prefix of GBK `text` that fits in `columns` terminal columns, never ending
// inside a two-byte character.
std::string CutGbkToColumns(const std::string& text, size_t columns);
