// What a data set answers, as one text to compare with another data set's: the reference a
// change run is held to is a full rebuild of the same table, and their answers must be
// equal, whatever their files hold.
#pragma once

#include <string>
#include <vector>

#include "core/records/data_set_check.h"

// Loads the data set of `paths` as the server does and answers every query of `queries`
// (the query syntax of the binary protocol) and every search-box text of `texts` (on field
// "*"), under words and contains matching: the total, the pages in both orders, the counts
// of filter column `facetColumn`'s values, and the relevance order with its scores. A set
// that cannot be checked or loaded gives a text saying so.
std::string DataSetAnswers(const tDataSetPaths& paths, const std::vector<std::string>& queries,
                           const std::vector<std::string>& texts, int facetColumn);
