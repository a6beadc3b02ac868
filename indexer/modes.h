// The mode routines of indexer. Each returns what its mode reports; main() turns that into
// the exit code (modes 3 to 5 always exit with 0).
#pragma once

// Mode 1: compile the dictionary text into the trie file. Returns the exit code (0 or 1).
int RunDictionaryMode(const char* dictionaryText, const char* trieFile);

// Mode 2: build the word-list file from a word-list text and a trie. Returns the exit code.
int RunWordListMode(const char* wordListText, const char* wordListFile, const char* trieFile);

// Mode 3: schema text -> binary schema and review text. True when all three steps succeeded.
bool RunSchemaMode(const char* schemaText, const char* schemaBinary, const char* reviewText);

// Mode 4: scan the configured table into the data set <resultBase>.dataline/.index_<k>.
// Returns the exit status (indexer/exit_status.h).
int RunIndexMode(const char* dbConfig, const char* resultBase, const char* schemaText,
                 const char* trieFile, const char* wordListFile);

// Mode 5: load a data set as the server does and run a query through it, page by page.
// `queryText` null runs the fixed query "[FIELD] code [AND] BS".
void RunQueryTestMode(const char* unused, const char* resultBase, const char* schemaBinary,
                      const char* trieFile, const char* wordListFile, const char* queryText);
