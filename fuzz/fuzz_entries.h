// The entry functions of the fuzz targets (see fuzz_targets.h) and their seed inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

int FuzzTrie(const uint8_t* data, size_t size);
int FuzzWordList(const uint8_t* data, size_t size);
int FuzzBinarySchema(const uint8_t* data, size_t size);
int FuzzIndex(const uint8_t* data, size_t size);
int FuzzDataLine(const uint8_t* data, size_t size);
int FuzzFieldLengths(const uint8_t* data, size_t size);
int FuzzChangeFiles(const uint8_t* data, size_t size);
int FuzzDictionaryText(const uint8_t* data, size_t size);
int FuzzSchemaText(const uint8_t* data, size_t size);
int FuzzTagValue(const uint8_t* data, size_t size);
int FuzzDbConfig(const uint8_t* data, size_t size);
int FuzzCleanSegment(const uint8_t* data, size_t size);
int FuzzQuery(const uint8_t* data, size_t size);
int FuzzTextQuery(const uint8_t* data, size_t size);
int FuzzParseRequest(const uint8_t* data, size_t size);
int FuzzUnpackResult(const uint8_t* data, size_t size);
int FuzzServeConnection(const uint8_t* data, size_t size);
int FuzzGbkToUtf8(const uint8_t* data, size_t size);

std::vector<std::string> TrieSeeds();
std::vector<std::string> WordListSeeds();
std::vector<std::string> BinarySchemaSeeds();
std::vector<std::string> IndexSeeds();
std::vector<std::string> DataLineSeeds();
std::vector<std::string> FieldLengthsSeeds();
std::vector<std::string> ChangeFilesSeeds();
std::vector<std::string> DictionaryTextSeeds();
std::vector<std::string> SchemaTextSeeds();
std::vector<std::string> TagValueSeeds();
std::vector<std::string> DbConfigSeeds();
std::vector<std::string> CleanSegmentSeeds();
std::vector<std::string> QuerySeeds();
std::vector<std::string> TextQuerySeeds();
std::vector<std::string> ParseRequestSeeds();
std::vector<std::string> UnpackResultSeeds();
std::vector<std::string> ServeConnectionSeeds();
std::vector<std::string> GbkToUtf8Seeds();
