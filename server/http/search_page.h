// The search page of the HTTP interface ("/"): one self-contained HTML document in UTF-8 that
// queries /search from the browser. Its field choice offers "all fields" and then the given
// indexed fields' names; hits show excerpts of the snippet fields with the matches marked
// (the whole text on demand), a column of facet counts whose values narrow the search, and a
// newest-first switch.
#pragma once

#include <string>
#include <vector>

// The page offering `indexedNames`, snippets of `snippetNames` and facets of `facetNames`
// (UTF-8; none while the data set loads). The names are embedded in its script as JSON, with
// "<" escaped so that no name can end the script element.
std::string SearchPage(const std::vector<std::string>& indexedNames,
                       const std::vector<std::string>& snippetNames = {},
                       const std::vector<std::string>& facetNames = {});
