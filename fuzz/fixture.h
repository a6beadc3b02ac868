// The fixed data the fuzz entries work against, made once per process: a trie of a few GBK
// words, a schema with every kind of field, a data set of a few records saved and loaded
// back (with a brute-force reference of its query answers), and a private scratch directory
// for the files the loaders read. The words and texts are written in UTF-8 source and
// converted to GBK at run time, so the fixture is the same whatever the compiler's execution
// character set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CQueryFixture;

// GBK form of a UTF-8 text (characters outside GBK become "?").
std::string Gbk(const char* utf8);

// The dictionary words (GBK), the schema's field lines and the whole schema text.
const std::vector<std::string>& FixtureWords();
const std::string& FixtureSchemaLines();

// The loaded data set; its files lie in the fixture's directory under FixtureBase().
const CQueryFixture& Fixture();
const std::string& FixtureBase();  // full path of the data set's base name

// Path of the scratch file `name`, in a directory of the fuzz process's own (in memory
// where possible).
std::string ScratchPath(const std::string& name);

// Writes `size` bytes to the scratch file `name` and returns its path.
std::string WriteScratch(const std::string& name, const uint8_t* data, size_t size);
std::string WriteScratch(const std::string& name, const std::string& bytes);
std::string ReadWhole(const std::string& path);

// Query texts (GBK) over the fixture: selectors on every field kind.
const std::vector<std::string>& FixtureQueries();
