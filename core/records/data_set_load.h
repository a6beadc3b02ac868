// Loading the store of a data set that CheckDataSet has checked: what every reader of a data
// set (the server, mode 5, the benchmarks) loads the same way.
#pragma once

#include <memory>
#include <string>

#include "core/records/data_line_index.h"
#include "core/records/data_set_check.h"

class CFieldInfo;
class CPDAT;

// The store of <base> read-only over `schema` and `trie` (both borrowed, outliving it): its
// own files with the contains indexes and the deletion list that `check` found, and its
// delta (<base>.delta.* and the delta's record list) attached. Null when a file cannot be
// loaded or does not fit the others ("Fail to read <path>" or the reason in the daily log).
std::unique_ptr<CDataLineIndex> LoadDataSetStore(const CFieldInfo& schema, const CPDAT* trie,
                                                 const std::string& base,
                                                 const tDATA_SET_CHECK& check);
