"""Query the Trindle search server through libTrindleAgentAPI with ctypes.

    import trindle_agent
    result = trindle_agent.query("client.xml", "[FIELD] title [AND] 上海", start=0,
                                 page_count=20)
    print(result.total, [doc["title"] for doc in result.documents])

The query is in the server's query language: "[FIELD] <index name> [AND] <words>", one such
selector per field, all of which must hold ("[FIELD] * [AND] ..." searches every field of the
all-fields index; a filter field takes numbers: "[FIELD] year [AND] 2005 2006"). It is given
as str (encoded to GBK) or bytes (sent as they are). The library writes
the page as a GBK XML document; it is parsed here and returned as a QueryResult whose
documents are dicts from field name to value (str). The library is found through the
environment variable TRINDLE_AGENT_LIBRARY, else as libTrindleAgentAPI.so.1.
"""

import codecs
import ctypes
import os
import re
import tempfile
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from typing import Dict, List, Optional

_library = None


def _load():
    global _library
    if _library is None:
        path = os.environ.get("TRINDLE_AGENT_LIBRARY", "libTrindleAgentAPI.so.1")
        library = ctypes.CDLL(path)
        call = library.trindle_query_client
        call.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                         ctypes.c_char_p]
        call.restype = ctypes.c_int
        _library = library
    return _library


class QueryError(Exception):
    """The library returned -1: bad configuration, server unreachable, bad response, or
    the result could not be written."""


@dataclass
class QueryResult:
    total: int
    returned: int
    start: int
    documents: List[Dict[str, str]] = field(default_factory=list)


def _euro(error):
    # The C library's GBK maps the lone byte 0x80 to the euro sign; Python's codec does not.
    if isinstance(error, UnicodeDecodeError) and error.object[error.start] == 0x80:
        return "\u20ac", error.start + 1
    raise error


codecs.register_error("trindle-euro", _euro)

_DECLARATION = re.compile(r"^\s*<\?xml[^>]*\?>")


def parse_document(data: bytes) -> QueryResult:
    """Parses a result document (GBK bytes) into a QueryResult."""
    text = data.decode("gbk", errors="trindle-euro")
    root = ElementTree.fromstring(_DECLARATION.sub("", text, count=1))
    numbers = root.find("Result-Number")
    result = QueryResult(total=int(numbers.findtext("Total-Number")),
                         returned=int(numbers.findtext("Return-Number")),
                         start=int(numbers.findtext("Start-Position")))
    hits = root.find("Result")
    if hits is not None:
        for document in hits.findall("Document"):
            result.documents.append({child.tag: child.text or "" for child in document})
    return result


def query(config_path: str, query_text, start: int = 0, page_count: int = 20,
          result_path: Optional[str] = None) -> QueryResult:
    """Runs one query and returns its page of results. The document goes to result_path
    (kept) or to a temporary file (removed). Raises QueryError when the call fails."""
    library = _load()
    if isinstance(query_text, str):
        query_text = query_text.encode("gbk")
    temporary = None
    if result_path is None:
        handle, temporary = tempfile.mkstemp(prefix="trindle-", suffix=".xml")
        os.close(handle)
        result_path = temporary
    try:
        status = library.trindle_query_client(os.fsencode(config_path), query_text, start,
                                               page_count, os.fsencode(result_path))
        if status != 0:
            raise QueryError("trindle_query_client failed for %r" % (query_text,))
        with open(result_path, "rb") as document:
            return parse_document(document.read())
    finally:
        if temporary is not None:
            os.unlink(temporary)


if __name__ == "__main__":
    import sys
    if len(sys.argv) < 3:
        sys.exit("usage: trindle_agent.py <configuration> <query> [start] [page-count]")
    found = query(sys.argv[1], sys.argv[2], *(int(a) for a in sys.argv[3:5]))
    print("total %d, returned %d, start %d" % (found.total, found.returned, found.start))
    for number, hit in enumerate(found.documents):
        print(number, hit)
