#include "testing/records/memory_rows.h"

#include <cctype>

namespace {

std::string Lower(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

// The text after `prefix` when `statement` starts with it.
bool TakeAfter(const std::string& statement, const std::string& prefix, std::string* rest) {
  if (statement.compare(0, prefix.size(), prefix) != 0) return false;
  *rest = statement.substr(prefix.size());
  return true;
}

}  // namespace

CDbValue NullValue() { return CDbValue(); }

CDbValue TextValue(const std::string& gbkText) {
  CDbValue value;
  value.kind = CDbValue::kText;
  value.text = gbkText;
  return value;
}

CDbValue IntValue(int32_t integer) {
  CDbValue value;
  value.kind = CDbValue::kInt32;
  value.integer = integer;
  return value;
}

CDbValue DoubleValue(double real) {
  CDbValue value;
  value.kind = CDbValue::kDouble;
  value.real = real;
  return value;
}

CDbValue DateTimeValue(const std::string& text) {
  CDbValue value;
  value.kind = CDbValue::kDateTime;
  value.text = text;
  return value;
}

CMemoryRow::CMemoryRow(std::initializer_list<std::pair<const std::string, CDbValue>> columns) {
  for (const auto& column : columns) Set(column.first, column.second);
}

void CMemoryRow::Set(const std::string& column, const CDbValue& value) {
  m_columns[Lower(column)] = value;
}

void CMemoryRow::SetFailure(const std::string& column, const std::string& description) {
  m_failures[Lower(column)] = description;
}

bool CMemoryRow::HasColumn(const std::string& column) const {
  return m_columns.count(Lower(column)) > 0;
}

bool CMemoryRow::GetColumn(const char* name, CDbValue* value, std::string* error) const {
  std::string key = Lower(name);
  auto failure = m_failures.find(key);
  if (failure != m_failures.end()) {
    *error = failure->second;
    return false;
  }
  auto found = m_columns.find(key);
  if (found == m_columns.end()) {
    *error = std::string("Item cannot be found in the collection: ") + name;
    return false;
  }
  *value = found->second;
  return true;
}

bool CMemoryRecordSet::MoveNext(std::string* error) {
  if (AtEnd()) {
    *error = "Either BOF or EOF is True";
    return false;
  }
  ++m_position;
  return true;
}

bool CMemoryConnection::Open(const std::string& connectString, std::string* error) {
  ++m_openAttempts;
  if (m_refusedOpens > 0) {
    --m_refusedOpens;
    *error = "Server is starting up";
    return false;
  }
  if (connectString != m_connectString) {
    *error = "Cannot open database \"" + connectString + "\"";
    return false;
  }
  m_open = true;
  return true;
}

std::unique_ptr<CDbRecordSet> CMemoryConnection::Execute(const std::string& statement,
                                                         std::string* error) {
  m_statements.push_back(statement);
  if (!m_open) {
    *error = "Operation is not allowed when the object is closed.";
    return nullptr;
  }
  std::string rest;
  if (TakeAfter(statement, "select count(*) as num from ", &rest)) {
    auto table = m_tables.find(rest);
    if (table == m_tables.end()) {
      *error = "Invalid object name '" + rest + "'.";
      return nullptr;
    }
    auto rows = std::make_unique<std::vector<CMemoryRow>>();
    rows->push_back(
        CMemoryRow{{"num", IntValue(static_cast<int32_t>(table->second->rows.size()))}});
    m_countRows.push_back(std::move(rows));
    return std::make_unique<CMemoryRecordSet>(m_countRows.back().get());
  }
  if (TakeAfter(statement, "select * from ", &rest)) {
    size_t order = rest.find(" order by ");
    if (order == std::string::npos) {
      *error = "Incorrect syntax: " + statement;
      return nullptr;
    }
    std::string tableName = rest.substr(0, order);
    std::string column = rest.substr(order + 10);
    auto table = m_tables.find(tableName);
    if (table == m_tables.end()) {
      *error = "Invalid object name '" + tableName + "'.";
      return nullptr;
    }
    bool known = !column.empty();
    for (const CMemoryRow& row : table->second->rows) {
      if (!row.HasColumn(column)) known = false;
    }
    if (!known) {
      *error = "Invalid column name '" + column + "'.";
      return nullptr;
    }
    return std::make_unique<CMemoryRecordSet>(&table->second->rows);
  }
  *error = "Incorrect syntax: " + statement;
  return nullptr;
}
