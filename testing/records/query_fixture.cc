#include "testing/records/query_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "core/scan/record_preparation.h"

CQueryFixture::CQueryFixture(const std::vector<std::string>& words,
                             const std::string& schemaLines) {
  if (m_directory.path().empty()) return;
  if (!BuildTestTrie(words, m_directory.Path("dict.txt"), &m_trie)) return;
  const std::string schemaPath = m_directory.Path("schema.txt");
  if (!WriteTextFile(schemaPath, "seq name index type i f s w note\n" + schemaLines)) return;
  if (!m_schema.ImportText(schemaPath.c_str())) return;
  m_building.reset(new CDataLineIndex(m_schema, &m_trie, false));
  m_reference.reset(new CReferenceSearch(m_schema, m_trie));
  m_ok = true;
}

CQueryFixture::~CQueryFixture() = default;

void CQueryFixture::EnableContains() {
  m_contains = true;
  if (m_building) m_building->EnableContains();
}

bool CQueryFixture::AddRow(const CMemoryRow& row) {
  std::string error;
  if (!m_ok || !m_building || !AddRecord(m_building.get(), row, &error)) return false;
  m_reference->AddRow(row);
  return true;
}

bool CQueryFixture::SaveAndLoad(const std::string& base) {
  if (!m_ok || !m_building) return false;
  const std::string path = m_directory.Path(base);
  bool written = false;
  {
    CQuietStdout quiet;  // Save prints a line per file
    written = m_building->Save(path.c_str()) && m_schema.SaveBinary((path + ".schema").c_str()) &&
              m_trie.Save((path + ".trie").c_str());
  }
  m_building.reset();
  if (!written) return false;
  m_loaded.reset(new CDataLineIndex(m_schema, &m_trie, true));
  if (m_contains) m_loaded->EnableContains();
  return m_loaded->Load(path.c_str());
}
