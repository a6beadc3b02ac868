#include "formats/result_document.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "formats/xml_text.h"

namespace {

// Links a new element `name` holding the text `text` as the last child of `parent`.
void AddTextElement(TiXmlNode* parent, const char* name, const std::string& text) {
  auto element = std::make_unique<TiXmlElement>(name);
  element->LinkEndChild(new TiXmlText(text));
  parent->LinkEndChild(element.release());
}

// Prints a TinyXML tree in the layout of TinyXML's own printer and save (declaration, four
// blanks per level, one element per line, an element whose only child is a text on one line,
// an element without children as an empty-element tag; &, <, >, " and ' as entity
// references, bytes below 0x20 as hexadecimal character references) into *out. It differs
// from TiXmlPrinter only in escaping a text in runs rather than byte by byte. The tree holds
// only what the result document uses: a declaration, elements without attributes, texts.
class CDocumentPrinter : public TiXmlVisitor {
 public:
  explicit CDocumentPrinter(std::string* out) : m_out(out) {}

  bool Visit(const TiXmlDeclaration& declaration) override {
    std::string line;
    declaration.Print(nullptr, 0, &line);
    m_out->append(line);
    m_out->push_back('\n');
    return true;
  }

  bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute*) override {
    Indent();
    m_out->push_back('<');
    m_out->append(element.ValueStr());
    const TiXmlNode* first = element.FirstChild();
    if (first == nullptr) {
      m_out->append(" />\n");
    } else {
      m_out->push_back('>');
      m_inlineText = first->ToText() != nullptr && first == element.LastChild();
      if (!m_inlineText) m_out->push_back('\n');
    }
    ++m_depth;
    return true;
  }

  bool VisitExit(const TiXmlElement& element) override {
    --m_depth;
    if (element.FirstChild() == nullptr) return true;
    if (m_inlineText) {
      m_inlineText = false;
    } else {
      Indent();
    }
    m_out->append("</");
    m_out->append(element.ValueStr());
    m_out->append(">\n");
    return true;
  }

  bool Visit(const TiXmlText& text) override {
    if (!m_inlineText) Indent();
    AppendEscaped(text.ValueStr());
    if (!m_inlineText) m_out->push_back('\n');
    return true;
  }

 private:
  void Indent() {
    for (int level = 0; level < m_depth; ++level) m_out->append("    ");
  }

  void AppendEscaped(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      const char* run = p;
      while (run < end && !NeedsReference(static_cast<unsigned char>(*run))) ++run;
      m_out->append(p, static_cast<size_t>(run - p));
      if (run == end) break;
      const unsigned char c = static_cast<unsigned char>(*run);
      switch (c) {
        case '&':
          m_out->append("&amp;");
          break;
        case '<':
          m_out->append("&lt;");
          break;
        case '>':
          m_out->append("&gt;");
          break;
        case '"':
          m_out->append("&quot;");
          break;
        case '\'':
          m_out->append("&apos;");
          break;
        default: {
          static const char kHex[] = "0123456789ABCDEF";
          const char reference[6] = {'&', '#', 'x', kHex[c >> 4], kHex[c & 15], ';'};
          m_out->append(reference, 6);
        }
      }
      p = run + 1;
    }
  }

  static bool NeedsReference(unsigned char c) {
    return c < 0x20 || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'';
  }

  std::string* m_out;
  int m_depth = 0;
  bool m_inlineText = false;
};

std::string Decimal(int32_t value) {
  char buffer[64] = {};
  std::snprintf(buffer, sizeof buffer, "%d", value);
  return buffer;
}

}  // namespace

bool FormatResultDocument(const ResultPage& page, const std::vector<std::string>& names,
                          std::string* document, bool* declaredGbk) {
  const size_t fieldCount = names.size();
  if (page.returned < 0 || page.fieldCount < 0 ||
      static_cast<size_t>(page.fieldCount) != fieldCount) {
    return false;
  }
  const size_t cells = static_cast<size_t>(page.returned) * fieldCount;
  if (page.valueLengths.size() != cells) return false;

  bool gbkOnly = false;
  for (const std::string& name : names) {
    bool nameGbkOnly = false;
    if (!IsDocumentName(name, &nameGbkOnly)) return false;
    gbkOnly |= nameGbkOnly;
  }
  // The values as they will be written, walked once front to back.
  std::vector<std::string> values(cells);
  size_t offset = 0;
  for (size_t cell = 0; cell < cells; ++cell) {
    const int32_t length = page.valueLengths[cell];
    if (length < 0 || static_cast<size_t>(length) > page.text.size() - offset) return false;
    const char* value = page.text.data() + offset;
    const void* nul = std::memchr(value, '\0', static_cast<size_t>(length));
    const size_t kept = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - value)
                                       : static_cast<size_t>(length);
    values[cell].reserve(kept);
    gbkOnly |= AppendDocumentText(value, kept, &values[cell]);
    offset += static_cast<size_t>(length);
  }

  TiXmlDocument tree;
  tree.LinkEndChild(new TiXmlDeclaration("1.0", gbkOnly ? "GBK" : "gb2312", "yes"));
  auto* root = new TiXmlElement("Trindle-Result");
  tree.LinkEndChild(root);
  auto* numbers = new TiXmlElement("Result-Number");
  root->LinkEndChild(numbers);
  AddTextElement(numbers, "Total-Number", Decimal(page.total));
  AddTextElement(numbers, "Return-Number", Decimal(page.returned));
  AddTextElement(numbers, "Start-Position", Decimal(page.start));
  if (page.returned > 0) {
    auto* result = new TiXmlElement("Result");
    root->LinkEndChild(result);
    size_t cell = 0;
    for (int32_t record = 0; record < page.returned; ++record) {
      auto* entry = new TiXmlElement("Document");
      result->LinkEndChild(entry);
      for (size_t k = 0; k < fieldCount; ++k, ++cell) {
        AddTextElement(entry, names[k].c_str(), values[cell]);
      }
    }
  }
  // Printed into memory in the layout of the document's own save, so that the file can be
  // written with every error checked and moved into place whole.
  document->clear();
  document->reserve(page.text.size() + page.text.size() / 8 + 256 + cells * 32);
  CDocumentPrinter printer(document);
  tree.Accept(&printer);
  if (declaredGbk != nullptr) *declaredGbk = gbkOnly;
  return true;
}

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

// Writes `data` into what `path` already is (a device, a FIFO, a descriptor of the process
// named through /proc or /dev/fd), without replacing it.
bool WriteThrough(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data);
  if (::close(fd) != 0) ok = false;
  return ok;
}

// Where a document for `path` goes. Symbolic links are followed to the name they lead to
// (relative links from their own folder), so that the file the link names is replaced and
// the link stays. *through is set when the chain passes through /proc (/dev/stdout,
// /dev/fd/<n>): those links name open descriptors, not files, and are written through.
// False for a loop of links.
bool ResolveTarget(const std::string& path, std::string* target, bool* through) {
  *target = path;
  *through = false;
  for (int hop = 0; hop < 40; ++hop) {
    if (target->compare(0, 6, "/proc/") == 0) *through = true;
    struct stat status;
    if (::lstat(target->c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return true;
    std::string link(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(target->c_str(), &link[0], link.size());
    if (length <= 0 || static_cast<size_t>(length) >= link.size()) return false;
    link.resize(static_cast<size_t>(length));
    if (link[0] != '/') {
      const size_t slash = target->rfind('/');
      if (slash != std::string::npos) link = target->substr(0, slash + 1) + link;
    }
    *target = link;
  }
  return false;
}

// Creates the temporary beside `folder`'s target: ".trindle-<pid>-<n>.tmp". A file of that
// name can only be the leftover of a killed process that had this pid, so it is removed and
// the name taken.
int CreateTemporary(const std::string& folder, std::string* temporary) {
  static std::atomic<unsigned> sequence{0};
  for (int attempt = 0; attempt < 8; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, ".trindle-%ld-%u.tmp", static_cast<long>(::getpid()),
                  sequence.fetch_add(1, std::memory_order_relaxed));
    *temporary = folder + name;
    int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST && ::unlink(temporary->c_str()) == 0) {
      fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool ReplaceFile(const char* path, const std::string& data) {
  std::string target;
  bool through = false;
  if (!ResolveTarget(path, &target, &through)) return false;
  struct stat existing;
  const bool exists = ::stat(path, &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return false;
  // Only a regular file is replaced; anything else is written into as it is.
  if (exists && (through || !S_ISREG(existing.st_mode))) return WriteThrough(path, data);
  // The temporary sits in the target's folder (so the rename stays within one file system)
  // under a short name of its own, so that any name the target may have leaves room for it.
  const size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string temporary;
  const int fd = CreateTemporary(folder, &temporary);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data);
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // An existing document is swapped with the new one in one step and then removed under the
  // temporary name. A plain rename over it would do the same for readers, but some file
  // systems (ext4) flush the new file's data to disk on such a rename, which costs far more
  // than the whole exchange with the server; a result document needs no such durability.
  if (exists &&
      ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    ::unlink(temporary.c_str());
    return true;
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool BuildResultDocument(const ResultPage& page, const std::vector<std::string>& names,
                         const char* path) {
  std::string document;
  if (path == nullptr || *path == '\0' || !FormatResultDocument(page, names, &document)) {
    return false;
  }
  return ReplaceFile(path, document);
}
