// Compares two servers' answers byte for byte over the sampled queries of server_bench (same
// sampler and seed): for example a broker over shards against one server over the whole set.
//
//   answer_compare_bench BASE SCHEMA.dat TRIE WORDLIST PORT_A PORT_B [phrases=1000]
//                        [pairs=200] [seed=7]
//
// Every query is asked with four windows on each port: the first 20 hits, 20 hits from the
// middle of its hit list, the last 5 and 20 beyond its end, so that windows fall across shard
// boundaries. Prints how many answers were compared and how many differed, with the first
// difference. Exit status 1 when any answer differs or is missing.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/load_options.h"
#include "net/frame.h"
#include "net/socket_io.h"
#include "testing/net/wire_client.h"

namespace {

// The whole response frame of one query, or "" when none came.
std::string Ask(uint16_t port, const std::string& query, int32_t start, int32_t count) {
  CSocket socket = ConnectLoopback(port, 10);
  if (!socket.valid()) return "";
  const std::string body = RequestBody(query, start, count);
  const Deadline deadline = DeadlineAfter(10);
  if (SendFrame(socket.fd(), body.data(), static_cast<int32_t>(body.size()), deadline) !=
      static_cast<int>(body.size()) + kFrameLengthBytes) {
    return "";
  }
  std::string answer;
  if (ReceiveFrame(socket.fd(), 20, INT32_MAX, deadline, &answer).status != FrameStatus::kOk) {
    return "";
  }
  return MakeFrame(answer);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr,
                 "usage: %s BASE SCHEMA.dat TRIE WORDLIST PORT_A PORT_B [phrases] [pairs] [seed]\n",
                 argv[0]);
    return 2;
  }
  // The load options' layout: PORT_B takes the place of the client counts.
  bench::tLoadOptions options;
  std::vector<char*> arguments(argv, argv + argc);
  arguments.erase(arguments.begin() + 6);
  if (!bench::ParseLoadOptions(static_cast<int>(arguments.size()), arguments.data(), &options)) {
    return 2;
  }
  options.phrases = argc > 7 ? std::atoi(argv[7]) : 1000;
  options.pairs = argc > 8 ? std::atoi(argv[8]) : 200;
  options.seed = argc > 9 ? std::atoi(argv[9]) : 7;
  const uint16_t portA = static_cast<uint16_t>(std::atoi(argv[5]));
  const uint16_t portB = static_cast<uint16_t>(std::atoi(argv[6]));
  std::vector<bench::tSampledQuery> queries;
  if (!bench::SampleQueries(options, &queries)) return 1;
  long compared = 0, differed = 0;
  for (const bench::tSampledQuery& query : queries) {
    const std::pair<int32_t, int32_t> windows[] = {{0, 20},
                                                   {query.total / 2, 20},
                                                   {query.total > 5 ? query.total - 5 : 0, 20},
                                                   {query.total + 20, 20}};
    for (auto [start, count] : windows) {
      const std::string a = Ask(portA, query.text, start, count);
      const std::string b = Ask(portB, query.text, start, count);
      ++compared;
      if (!a.empty() && a == b) continue;
      if (differed++ == 0) {
        std::printf("first difference: query [%s] start %d count %d: %zu and %zu bytes\n",
                    query.text.c_str(), start, count, a.size(), b.size());
      }
    }
  }
  std::printf("%ld answers compared, %ld differ\n", compared, differed);
  return differed == 0 ? 0 : 1;
}
