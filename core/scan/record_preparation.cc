#include "core/scan/record_preparation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/decimal_text.h"
#include "core/records/field_info.h"
#include "core/text/char_units.h"
#include "core/text/gbk_chars.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"

namespace {

void TrimInPlace(std::string* text) {
  size_t end = text->size();
  while (end > 0 && gbk::IsLineSpace(static_cast<unsigned char>((*text)[end - 1]))) --end;
  size_t start = 0;
  while (start < end && gbk::IsLineSpace(static_cast<unsigned char>((*text)[start]))) ++start;
  text->resize(end);
  if (start > 0) text->erase(0, start);
}

}  // namespace

bool FetchFieldText(const CFieldInfo& schema, const CDbRow& row, int fieldNumber, CDbValue* scratch,
                    std::string* text, std::string* error) {
  const tFIELD_ENTRY& field = schema.GetField(fieldNumber);
  text->clear();
  // Types L, none and "*" read no value at all.
  if (field.type != FIELD_TYPE_T && field.type != FIELD_TYPE_I && field.type != FIELD_TYPE_D) {
    return true;
  }
  CDbValue& value = *scratch;
  if (!row.GetColumn(field.name.c_str(), &value, error)) return false;
  char number[64];
  switch (value.kind) {
    case CDbValue::kNull:
      if (field.type != FIELD_TYPE_T) text->assign("0");
      break;
    case CDbValue::kText:
    case CDbValue::kDateTime:
      // A date field takes only a real date-time; text and integer fields take any text.
      if (field.type == FIELD_TYPE_D && value.kind != CDbValue::kDateTime) {
        text->assign("0");
      } else {
        text->swap(value.text);  // no copy; the scratch value takes the old buffer
      }
      break;
    case CDbValue::kInt32:
      if (field.type == FIELD_TYPE_D) {
        text->assign("0");
      } else {
        std::snprintf(number, sizeof number, "%d", value.integer);
        text->assign(number);
      }
      break;
    case CDbValue::kDouble:
      if (field.type == FIELD_TYPE_D) {
        text->assign("0");
      } else if (field.type == FIELD_TYPE_I) {
        // Truncated toward zero; printed whole so that no conversion to int overflows.
        std::snprintf(number, sizeof number, "%.0f", std::trunc(value.real));
        text->assign(number);
      } else {
        std::snprintf(number, sizeof number, "%.15g", value.real);
        text->assign(number);
      }
      break;
  }
  return true;
}

bool FetchRecord(const CDataLineIndex& store, const CDbRow& row, tSCANNED_RECORD* record,
                 std::string* error) {
  const CFieldInfo& schema = store.GetSchema();
  const int fieldCount = schema.GetFieldCount();
  std::vector<tPREPARED_FIELD>& fields = record->prepared.fields;
  fields.resize(static_cast<size_t>(std::max(fieldCount, 0)));
  for (int field = 1; field < fieldCount; ++field) {
    const tFIELD_ENTRY& entry = schema.GetField(field);
    if (!entry.isIndexed && !entry.isFilter && !entry.isStored) continue;
    std::string* text = &fields[static_cast<size_t>(field)].text;
    if (!FetchFieldText(schema, row, field, &record->value, text, error)) return false;
  }
  return true;
}

void PrepareRecord(const CDataLineIndex& store, tPREPARED_RECORD* record) {
  const CFieldInfo& schema = store.GetSchema();
  const CPDAT* trie = store.GetTrie();
  const int fieldCount = schema.GetFieldCount();
  for (int fieldNumber = 1; fieldNumber < fieldCount; ++fieldNumber) {
    const tFIELD_ENTRY& entry = schema.GetField(fieldNumber);
    if (!entry.isIndexed && !entry.isFilter && !entry.isStored) continue;
    tPREPARED_FIELD& field = record->fields[static_cast<size_t>(fieldNumber)];
    std::string* text = &field.text;
    TrimInPlace(text);
    if (!text->empty()) {
      int cleanedLength = 0;
      // StripMarkup writes a NUL after its output, which never outgrows the input: at worst
      // it lands on the string's own terminator slot.
      StripMarkup(text->data(), static_cast<int>(text->size()), text->data(), &cleanedLength);
      text->resize(static_cast<size_t>(cleanedLength));
    }
    // The stored form is the cleaned text; indexes and filters see it normalised.
    std::string& normalized = record->scratch;
    normalized.assign(*text);
    NormalizeText(normalized.data());
    field.ids.clear();
    field.units.clear();
    if (entry.isIndexed && trie != nullptr) {
      int count = trie->Segment(normalized.c_str(), &field.ids, nullptr);
      field.ids.resize(static_cast<size_t>(std::min(count, static_cast<int>(field.ids.size()))));
      if (store.HasContains()) CutIntoUnits(normalized.c_str(), &field.units);
    }
    field.filter = entry.isFilter ? ReadDecimalLikeAtoi(normalized.c_str()) : 0;
  }
}

bool AddRecord(CDataLineIndex* store, const CDbRow& row, std::string* error) {
  tSCANNED_RECORD record;
  if (!FetchRecord(*store, row, &record, error)) return false;
  PrepareRecord(*store, &record.prepared);
  return store->AppendRecord(record.prepared, error);
}

void ReleaseLargeBuffers(tSCANNED_RECORD* record) {
  ReleaseLargeBuffers(&record->prepared);
  if (record->value.text.capacity() > kKeptPreparedBytes) std::string().swap(record->value.text);
}
