// What the HTTP interface reads from a request: its size as held against the request limit,
// the query arguments of a search, and the GBK query text they make. Everything here runs on
// the libmicrohttpd thread that answers the request and keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct MHD_Connection;

// The query arguments of a search request, as received (percent-decoded bytes, "%00"
// included); an argument that was not given is empty.
struct tSearchParameters {
  std::optional<std::string> q;
  std::optional<std::string> text;
  std::optional<std::string> field;
  std::optional<std::string> start;
  std::optional<std::string> count;
  // Result options of /search (search_options.h). snippet= and facet= may be given several
  // times and each may list names separated by commas: all their values, joined by commas.
  std::optional<std::string> snippet;
  std::optional<std::string> snippetLength;
  std::optional<std::string> facet;
  std::optional<std::string> facetLimit;
  std::optional<std::string> order;
  std::optional<std::string> match;
  std::optional<std::string> explain;
};

// The bytes of a request held against the request limit: the path, and each header and
// query argument as key and value plus two.
size_t RequestBytes(MHD_Connection* connection, const std::string& path);

// The first value of query argument `key` (with its length: a value may hold "%00"); none when
// it was not given.
std::optional<std::string> QueryArgument(MHD_Connection* connection, const char* key);

// The first value of each search argument of the request.
tSearchParameters ReadSearchParameters(MHD_Connection* connection);

// Decimal integer, optionally signed; values outside int32 are clamped, which GetPage treats
// as the extremes they are. False for anything else, the empty text included.
bool ParseInteger(const std::string& text, int32_t* number);

// The GBK query text of a request: q= as it is, or text= under field= (default "*") as
// "[FIELD] <field> [AND] <text>". False with the message for the client in *error when
// neither is given, the field is not one name, or the text holds a NUL byte, is not UTF-8 or
// holds a character without a GBK form.
bool BuildQuery(const tSearchParameters& parameters, std::string* query, std::string* error);

// The GBK form of a UTF-8 argument; false with the message when it holds a NUL byte, is not
// UTF-8 or holds a character without a GBK form.
bool ArgumentToGbk(const std::string& utf8, std::string* gbk, std::string* error);

// The query arguments of the request that `known` (a null-ended list; an entry ending in '*'
// names every argument beginning with the rest) does not name, in request order without
// repeats (at most 20).
std::vector<std::string> UnknownArguments(MHD_Connection* connection, const char* const* known);
