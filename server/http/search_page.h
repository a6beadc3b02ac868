// The search page of the HTTP interface ("/"): one self-contained HTML document in UTF-8 that
// queries /search from the browser. Its field choice offers "all fields" and then the given
// indexed fields' names.
#pragma once

#include <string>
#include <vector>

// The page offering `indexedNames` (UTF-8; none while the data set loads). The names are
// embedded in its script as a JSON array, with "<" escaped so that no name can end the
// script element.
std::string SearchPage(const std::vector<std::string>& indexedNames);
