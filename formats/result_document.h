// The XML result document: a page of results under the index names of the schema's stored
// fields, printed by TinyXML (declaration, four blanks of indentation per level, one element
// per line, markup characters as entity references, tab/LF/CR as character references).
//
//   <?xml version="1.0" encoding="gb2312" standalone="yes" ?>
//   <Trindle-Result>
//       <Result-Number>
//           <Total-Number>12</Total-Number>
//           <Return-Number>1</Return-Number>
//           <Start-Position>0</Start-Position>
//       </Result-Number>
//       <Result>                         (only when records were returned)
//           <Document>                   (one per record, fields in stored-list order)
//               <title>...</title>
//
// The encoding is declared "gb2312" unless a name or value holds a character outside GB2312;
// then it is "GBK". Values end at their first NUL byte; control bytes and bytes that are not
// part of a character are written as blanks (xml_text.h), so the file is always well-formed.
//
// The file appears complete or not at all: the document is written beside the result path
// and renamed over it, and a failure removes what was written and leaves any earlier file.
#pragma once

#include <string>
#include <vector>

#include "core/query/result_page.h"

// The document of `page`, whose records hold one value per entry of `names`, as bytes.
// False when the page's field count differs from names.size(), a name cannot name an
// element, or the page's value lengths disagree with its text. When `declaredGbk` is given it
// tells whether the document was declared "GBK" (else "gb2312").
bool FormatResultDocument(const ResultPage& page, const std::vector<std::string>& names,
                          std::string* document, bool* declaredGbk = nullptr);

// Writes the document of `page` to `path` (see the header comment). False, with no file at
// `path` changed, when the document cannot be formatted or the file cannot be written.
bool BuildResultDocument(const ResultPage& page, const std::vector<std::string>& names,
                         const char* path);

// Writes `data` to `path`. A regular file (or none) is replaced whole through a temporary file
// in the same folder (".trindle-<pid>-<n>.tmp", a leftover of that name is removed) that is
// renamed into place; on failure the temporary is removed. A symbolic link is followed and
// the file it names replaced, the link kept. What is neither a regular file nor a folder (a
// device, a FIFO, /dev/stdout and the other descriptor links) is written into as it is,
// never replaced. A folder fails.
// The new file gets the permissions of a newly created file (0666 less the umask).
bool ReplaceFile(const char* path, const std::string& data);
