// The shared library as an application sees it: one exported symbol, a versioned SONAME,
// and the exported call with its process-wide configuration.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "client/tests/fake_server.h"

namespace {

using std::string;
using QueryCall = int (*)(const char*, const char*, int, int, const char*);

TEST(AgentLibrary, ExportsOnlyTheQueryCall) {
  string output;
  ASSERT_EQ(RunCommand("nm -D --defined-only '" AGENT_LIBRARY_PATH "'", &output), 0);
  std::istringstream lines(output);
  string line, symbols;
  while (std::getline(lines, line)) symbols += line.substr(line.rfind(' ') + 1) + "\n";
  EXPECT_EQ(symbols, "trindle_query_client\n") << output;

  ASSERT_EQ(RunCommand("readelf -d '" AGENT_LIBRARY_PATH "'", &output), 0);
  EXPECT_NE(output.find("Library soname: [libTrindleAgentAPI.so.1]"), string::npos) << output;

  void* library = ::dlopen(AGENT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  EXPECT_NE(::dlsym(library, "trindle_query_client"), nullptr);
  for (const char* hidden :
       {"ReadClientConfig",
        "_Z16ReadClientConfigPKcP13tClientConfigPNSt7__cxx1112basic_stringIcSt11char_"
        "traitsIcESaIcEEE",
        "_ZN10CFieldInfo10LoadBinaryEPKc", "_ZN12CInputOutput12UnpackResultEPKcl"}) {
    EXPECT_EQ(::dlsym(library, hidden), nullptr) << hidden;
  }
  ::dlclose(library);
}

TEST(AgentLibrary, FirstSuccessfulConfigurationServesEveryLaterCall) {
  CScratchFolder folder;
  const string schema = WriteSchema(folder.path(), {"title"});
  CFakeServer first([](const QueryRequest&) { return PageReply(MakePage({{"one"}}, 1, 0, 1)); });
  CFakeServer second([](const QueryRequest&) { return PageReply(MakePage({{"two"}}, 1, 0, 1)); });
  void* library = ::dlopen(AGENT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto call = reinterpret_cast<QueryCall>(::dlsym(library, "trindle_query_client"));
  ASSERT_NE(call, nullptr);
  const string result = folder.File("r.xml");
  const string config = folder.File("client.xml");
  EXPECT_EQ(call(config.c_str(), "q", 0, 10, result.c_str()), -1);  // not there yet
  EXPECT_EQ(call(nullptr, "q", 0, 10, result.c_str()), -1);
  WriteConfig(config, "127.0.0.1", first.port(), schema);
  EXPECT_EQ(call(config.c_str(), nullptr, 0, 10, result.c_str()), -1);
  EXPECT_EQ(call(config.c_str(), "q", 0, 10, nullptr), -1);
  ASSERT_EQ(call(config.c_str(), "q", 0, 10, result.c_str()), 0);
  EXPECT_EQ(ParseDocument(FileText(result)).documents[0][0].second, "one");
  const string other = WriteConfig(folder.File("other.xml"), "127.0.0.1", second.port(), schema);
  ASSERT_EQ(call(other.c_str(), "q", 0, 10, result.c_str()), 0);
  EXPECT_EQ(ParseDocument(FileText(result)).documents[0][0].second, "one");
  EXPECT_EQ(second.requests(), 0);
  ::dlclose(library);
}

}  // namespace
