/* TrindleAgentAPI: the client library of the Trindle search server.
 *
 * One call, trindle_query_client, sends a query and a paging window to the search server
 * named in the client configuration and writes the page of results as an XML document
 * (GBK text, declared "gb2312", or "GBK" when a value holds a character outside GB2312) to
 * the file the caller names. The configuration file is a tag-value text:
 *
 *   <ServerIP>127.0.0.1</ServerIP>     host name or dotted IPv4 address
 *   <Port>8888</Port>                  the server's TCP port
 *   <FieldInfo>table.txt.dat</FieldInfo> the binary field schema the server loads
 *   <Timeout>30</Timeout>              optional: seconds for connecting, sending and
 *                                      receiving (default 30)
 *
 * Usable from C and C++; link with -lTrindleAgentAPI (pkg-config TrindleAgentAPI, or
 * find_package(TrindleAgentAPI) and the target TrindleAgentAPI::TrindleAgentAPI).
 */
#ifndef TRINDLE_AGENT_API_H
#define TRINDLE_AGENT_API_H

#if defined(__GNUC__) || defined(__clang__)
#define TRINDLE_AGENT_API __attribute__((visibility("default")))
#else
#define TRINDLE_AGENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Runs `query` (GBK, NUL-terminated) on the server and writes the hits from position `start`
 * (0-based), at most `page_count` of them, as an XML document to `result_path`, which is
 * created or replaced as a whole (a reader never sees a partial document).
 *
 * The configuration at `config_path` is read by the first successful call of the process;
 * later calls ignore the path. When it cannot be read (or its schema cannot be loaded) the
 * call returns -1 and the next call reads it again.
 *
 * Returns 0 when the document was written; -1 when the configuration cannot be read, the
 * server cannot be reached, the exchange fails or times out, the response is malformed or
 * belongs to another schema, or the result file cannot be written. After -1 any earlier file
 * at `result_path` is unchanged. Safe to call from any number of threads at once. */
TRINDLE_AGENT_API int trindle_query_client(const char* config_path, const char* query, int start,
                                           int page_count, const char* result_path);

#ifdef __cplusplus
}
#endif

#endif /* TRINDLE_AGENT_API_H */
