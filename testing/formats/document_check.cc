#include "testing/formats/document_check.h"

#include <dirent.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "testing/iconv_reference.h"

ResultPage MakePage(const std::vector<std::vector<std::string>>& records, int32_t total,
                    int32_t start, int32_t fieldCount) {
  ResultPage page;
  page.total = total;
  page.start = start;
  page.returned = static_cast<int32_t>(records.size());
  page.fieldCount = fieldCount;
  for (const auto& record : records) {
    for (const std::string& value : record) {
      page.valueLengths.push_back(static_cast<int32_t>(value.size()));
      page.text += value;
    }
  }
  return page;
}

CScratchFolder::CScratchFolder() {
  char pattern[] = "/tmp/client_test.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  m_path = pattern;
}

CScratchFolder::~CScratchFolder() {
  std::string command = "chmod -R u+w '" + m_path + "' && rm -rf '" + m_path + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", m_path.c_str());
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

tParsedDocument ParseDocument(const std::string& bytes) {
  tParsedDocument parsed;
  xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "result.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return parsed;
  parsed.ok = true;
  if (doc->encoding != nullptr) parsed.encoding = reinterpret_cast<const char*>(doc->encoding);
  auto text = [](xmlNodePtr node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string value = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return value;
  };
  auto name = [](xmlNodePtr node) {
    return std::string(reinterpret_cast<const char*>(node->name));
  };
  for (xmlNodePtr section = xmlDocGetRootElement(doc)->children; section; section = section->next) {
    if (section->type != XML_ELEMENT_NODE) continue;
    if (name(section) == "Result-Number") {
      for (xmlNodePtr n = section->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (name(n) == "Total-Number") parsed.total = text(n);
        if (name(n) == "Return-Number") parsed.returned = text(n);
        if (name(n) == "Start-Position") parsed.start = text(n);
      }
    } else if (name(section) == "Result") {
      parsed.hasResult = true;
      for (xmlNodePtr d = section->children; d; d = d->next) {
        if (d->type != XML_ELEMENT_NODE) continue;
        parsed.documents.emplace_back();
        for (xmlNodePtr f = d->children; f; f = f->next) {
          if (f->type == XML_ELEMENT_NODE) parsed.documents.back().emplace_back(name(f), text(f));
        }
      }
    }
  }
  xmlFreeDoc(doc);
  return parsed;
}

bool XmllintAccepts(const std::string& path) {
  std::string output;
  return RunCommand("xmllint --noout '" + path + "' 2>&1", &output) == 0;
}

std::string ReferenceUtf8(const std::string& gbk) {
  std::string utf8;
  return IconvConvert("UTF-8", "GBK", gbk, &utf8) ? utf8 : "<invalid>";
}

int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
