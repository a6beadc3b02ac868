// What the programs' command lines share: the information options every program answers
// before anything else (-h, --help, --version) and the query typed as an argument, which
// arrives in the console's encoding and goes on as the engine's GBK.
//
// Thread safety: no state; output goes to stdout and stderr as the console set them up.
#pragma once

#include <string>

#include "programs/console.h"

// True when `argument` is -h or --help (prints `help` on standard output) or --version
// (prints "<program> (Trindle) <version>"); false, printing nothing, for any other argument.
bool AnswerInformationOption(const char* argument, const char* program, const char* help);

// How much of GBK a typed query must be.
enum class TypedGbk {
  kAsTyped,    // GBK text passes as typed; UTF-8 must convert to GBK
  kCharacters  // also every byte from 0x80 up starts a GBK character (ConsoleTextToGbk)
};

// The query typed on the command line, read in `encoding`, as GBK into *gbk. False when it is
// not valid there (nothing printed: the caller names the failure in its own words). When it
// is taken as GBK but looks typed in UTF-8 (LooksLikeUtf8OnAGbkConsole), `hint` goes to
// standard error as one line, saying how to have it read as UTF-8.
bool TypedQueryToGbk(const std::string& typed, ConsoleEncoding encoding, TypedGbk rule,
                     const char* hint, std::string* gbk);
