// The one exported function of libTrindleAgentAPI.so.
#include "TrindleAgentAPI.h"
#include "client/query_client.h"

namespace {

// The process-wide client state: the configuration, read by the first successful call.
CClientState& ProcessState() {
  static CClientState state;
  return state;
}

}  // namespace

extern "C" int trindle_query_client(const char* config_path, const char* query, int start,
                                    int page_count, const char* result_path) {
  try {
    return ProcessState().Call(config_path, query, start, page_count, result_path);
  } catch (...) {
    return -1;
  }
}
