// CServedSetFixture: a small data set saved as the search server loads it, for the server
// tests (binary port, HTTP interface, soak) and the client's end-to-end tests. Besides what
// CQueryFixture::SaveAndLoad writes (the data set, "<base>.schema", "<base>.trie") it writes
// a word list of the fixture's words to "<base>.words", all in the scratch directory.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/records/data_set_check.h"
#include "testing/records/query_fixture.h"

// The schema of the served test sets: title and body indexed into the all-fields index and
// stored, year a stored filter.
extern const char kServedSchema[];

// A text of `count` words drawn from `words` by `random`, without separators.
std::string RandomText(std::mt19937* random, const std::vector<std::string>& words, int count);

class CServedSetFixture : public CQueryFixture {
 public:
  explicit CServedSetFixture(const std::vector<std::string>& words,
                             const std::string& schemaLines = kServedSchema);

  // Adds a record of kServedSchema.
  bool AddRecord(const std::string& title, const std::string& body, int32_t year);
  // Saves and reloads the data set as `base` and writes its word list; false when a step
  // fails.
  bool SaveServedSet(const std::string& base = "set");
  // The files SaveServedSet(base) wrote, as the server loads them.
  tDataSetPaths ServedPaths(const std::string& base = "set") const {
    return {Path(base), Path(base + ".schema"), Path(base + ".trie"), Path(base + ".words")};
  }
  // The path of `name` in the scratch directory.
  std::string Path(const std::string& name) const { return directory().Path(name); }
};
