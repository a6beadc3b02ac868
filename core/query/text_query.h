// The search-box language of the HTTP text= parameter: a GBK text parsed into a small
// expression tree, evaluated to a record set through CQuery's lookups.
//
// Syntax (blanks are space, tab, CR and LF):
//   a b          both hold (the blank binds loosest)
//   a OR b, a|b  either holds; OR binds tighter than the blank: "a b OR c" is a and (b or c)
//   ( ... )      groups
//   "..."        one exact phrase (blanks inside are part of it)
//   -a, -(...)   must not hold; allowed as a member of a blank-separated group that has a
//                member that is no exclusion
//   f:a, f:"..." in field f's index (f is an index name of the schema: ASCII letters, digits,
//                '_', '.' and '*', the first not a digit)
//   f:1990..1999, f:>=2000, f:>2000, f:<=2000, f:<2000, f:2005
//                a range or comparison on filter field f (integers)
// Any other run of characters up to a blank or one of ( ) " | is a word; "OR" is the
// operator only as a word of its own. A parse error gives its position in characters (a
// two-byte GBK character counts one) from the start of the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CFieldInfo;
class CQuery;

enum class TextNodeKind { kAll, kAny, kNot, kTerm };

struct tTextNode {
  TextNodeKind kind = TextNodeKind::kAll;
  // kTerm: the field name as written (empty: the default field), the value as written
  // (GBK, quotes removed) and whether it was quoted.
  std::string field;
  std::string value;
  bool quoted = false;
  // kTerm with a field: whether the value reads as a range, and its bounds (inclusive).
  bool isRange = false;
  int64_t low = 0;
  int64_t high = 0;
  size_t position = 0;  // in characters
  std::vector<tTextNode> children;
};

struct tTextParse {
  bool ok = false;
  tTextNode root;
  std::string error;  // ASCII
  size_t position = 0;
  int terms = 0;
};

// The bounds of the parser: nesting of parentheses and exclusions, and terms (words,
// phrases and ranges) of one text (0: the default of 1000 terms).
constexpr int kMaxTextDepth = 32;

tTextParse ParseTextQuery(const std::string& gbk, int maxTerms = 0);

// The tree in one line, for tests and the explain member: (and ...), (or ...), (not ...),
// word, "phrase", field:word, field:[low..high].
std::string DescribeTextTree(const tTextNode& node);

// Evaluates a parsed tree under `engine`'s match mode and limits; a term without a field
// searches `defaultField`. Returns false with a message (and the term's position) when a
// field is unknown or of the wrong kind; the hits are then not set. Otherwise the engine
// holds the hits (ascending records) with the terms outside exclusions as its conditions,
// and its stop() says whether the limits stopped it. A tree none of whose terms restricts
// anything finds no record.
struct tTextEvaluation {
  std::string error;
  size_t position = 0;
  // The terms (position, value as written) that restrict nothing: no recognised word.
  std::vector<std::pair<size_t, std::string>> unrestricting;
};
bool EvaluateTextQuery(const tTextNode& root, const std::string& defaultField,
                       const CFieldInfo& schema, CQuery* engine, tTextEvaluation* evaluation);
