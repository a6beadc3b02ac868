// CPDAT: the dictionary as a double-array trie over GBK bytes. Each word carries a word
// number (0-based, in dictionary order; a word listed twice keeps its later number), the term
// id used everywhere else. A trie is filled once by BuildFromText or Load and is read-only
// afterwards: every const member, Segment included, may then run on many threads at once,
// each caller passing its own buffers, which Segment only grows.
//
// Characters are read by the rules of gbk_chars.h (value first * 256 + second for a two-byte
// character). Each character value maps through a 65536-entry code table to a small dense
// code (-1: the character is in no word); the cells are indexed by base + code.
//
// Trie file (little-endian int32): code table [65536], highest index N, word count,
// then cells 0..N as (base, check, value). Its size is exactly 262144 + 8 + 12 * (N + 1);
// Load refuses any other size. -1 means "none" for a word number. The file holds at least
// one cell per word number (N + 1 >= word count), so every table sized by the word count is
// backed by the file's size.
#pragma once

#include <cstdint>
#include <vector>

class CPDAT {
 public:
  CPDAT();
  CPDAT(const CPDAT&) = delete;
  CPDAT& operator=(const CPDAT&) = delete;

  // Highest cell index N in use; the saved file holds cells 0..N.
  virtual int GetMaxIndex() const;
  // Word number of the word that is exactly key[0..length), or -1 (also for length <= 0).
  virtual int LookupWord(const char* key, int length) const;
  // LookupWord over a NUL-terminated key.
  virtual int LookupString(const char* key) const;
  // Replaces the trie by the file's content. Returns false, prints nothing and leaves the
  // trie unchanged when the file cannot be read or is damaged: a size other than
  // 262144 + 8 + 12 * (N + 1), a negative N, a word count that is not the highest word
  // number + 1 or that exceeds N + 1, a word number below -1 or on a free cell.
  virtual bool Load(const char* path);
  // Writes the trie file (beside its name, then renamed). False when it cannot be written.
  // When repeated dictionary lines numbered words past the highest cell in use, the file
  // gets free cells up to index word count - 1 (GetMaxIndex of the loaded trie says so).
  virtual bool Save(const char* path) const;
  // Builds the trie from a dictionary text (first white-space-delimited word of each line;
  // lines read in pieces of at most 3071 bytes). Words found in `exclusion` are skipped.
  // Prints "%d\t%s Completed!" per accepted word and a line every 100th placement pass to
  // standard output. Index and query text are normalised before they are segmented, so a
  // word that normalised text cannot hold as written is kept but reported on standard error
  // (gbk::ReachInNormalizedText): one with full-width letters or digits or a character that
  // normalisation turns into a tab or a parenthesis never matches; one with ASCII capitals
  // matches only where the text wrote them full-width.
  // Returns the number of accepted words, 0 when the file cannot be opened or holds no word.
  virtual int BuildFromText(const char* path, const CPDAT* exclusion = nullptr);
  virtual ~CPDAT();

  // Number of words accepted by the last build (repeated lines included), as saved.
  int GetWordCount() const;

  // Cuts the NUL-terminated `text` (length L) into tokens by forward maximum matching.
  // Grows *ids to at least L + 2 entries and *tokens to at least 2L + 1 bytes (never
  // shrinks them; no allocation once they are large enough). Writes the word numbers of the
  // dictionary-word tokens to (*ids)[0..n) and returns n; when `tokens` is given it receives
  // every token followed by a tab, the whole NUL-terminated. Either pointer may be null.
  // Const and thread-safe: many threads may segment with one trie, each with own buffers.
  int Segment(const char* text, std::vector<int32_t>* ids, std::vector<char>* tokens) const;

  // Where the token of one word number stands in the segmented text: bytes
  // [start, start + length).
  struct tWordSpan {
    int32_t start;
    int32_t length;
  };
  // Segment that also writes, for the i-th word number, the place of its token to
  // (*spans)[i]; *spans grows like *ids. With `spans` null it is the Segment above.
  int Segment(const char* text, std::vector<int32_t>* ids, std::vector<char>* tokens,
              std::vector<tWordSpan>* spans) const;

  // One cell of the double array. base: -1 free; > 0 inner node's child base; -b for a word
  // end with children at base b; -(own index) for a leaf (cell 0 holds a leaf as -1, see
  // pdat_build.cc). check: -1 free, -2 child of the root, else the parent's index. value:
  // word number at a word end, else -1.
  struct tCell {
    int32_t base;
    int32_t check;
    int32_t value;
  };
  static constexpr int kCodeTableSize = 65536;

  // Read access for tests and tools.
  const std::vector<tCell>& GetCells() const { return m_cells; }
  const std::vector<int32_t>& GetCodeTable() const { return m_codes; }

 private:
  // Cell reached from `base` by `code`, or -1 when the transition does not exist. Safe for
  // any base and code a damaged file may hold.
  int64_t Transition(int64_t base, int32_t code, int32_t expectedCheck) const;

  std::vector<tCell> m_cells;  // cells 0..m_highestIndex at least (more after a build)
  int32_t m_highestIndex = 0;
  int32_t m_wordCount = 0;
  std::vector<int32_t> m_codes;  // kCodeTableSize entries, -1 for characters in no word
};
