// The mode routines of indexer. Each returns its exit status (indexer/exit_status.h), which
// main() passes on.
#pragma once

// Mode 1: compile the dictionary text into the trie file. 0, 1 (the text has no word) or 3
// (the trie cannot be saved).
int RunDictionaryMode(const char* dictionaryText, const char* trieFile);

// Mode 2: build the word-list file from a word-list text and a trie. 0, 1 or 3.
int RunWordListMode(const char* wordListText, const char* wordListFile, const char* trieFile);

// Mode 3: schema text -> binary schema and review text. 0 when all three steps succeeded,
// 1 when the schema text cannot be imported, 3 when an output cannot be written.
int RunSchemaMode(const char* schemaText, const char* schemaBinary, const char* reviewText);

// Mode 4: scan the configured table into the data set <resultBase>.dataline/.index_<k>.
// Returns the exit status (indexer/exit_status.h).
int RunIndexMode(const char* dbConfig, const char* resultBase, const char* schemaText,
                 const char* trieFile, const char* wordListFile);

// Mode 5: load a data set as the server does and run a query through it, page by page.
// `queryText` (GBK) null runs the fixed query "[FIELD] code [AND] BS". The hits are printed
// one line per record with tab-separated stored values, or, with `terminalColumns` above 0,
// as a table under the stored fields' names with every line cut to that many columns.
// 0, or 1 when the data set or an input cannot be loaded.
int RunQueryTestMode(const char* unused, const char* resultBase, const char* schemaBinary,
                     const char* trieFile, const char* wordListFile, const char* queryText,
                     int terminalColumns = 0);
