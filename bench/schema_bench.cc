// Time of indexer mode 3 (import the schema text, save the binary schema, export the review)
// and of loading the binary schema, for generated schemas of 200 fields and, to show that no
// step grows faster than the field count, of 2,000 and 20,000 fields.
//
//   build-<name>/bench/schema_bench
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/records/field_info.h"
#include "core/util/file_util.h"
#include "indexer/modes.h"

namespace {

constexpr int kRuns = 9;

std::string GenerateSchemaText(int fields) {
  std::string text = "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n";
  const char* const types[] = {"T", "I", "D", "T", "L"};
  for (int field = 1; field <= fields; ++field) {
    std::string number = std::to_string(field);
    text += number + "\tcolumn_" + number + "\t字段" + number + "\t" + types[field % 5] + "\t" +
            (field % 2 ? "1" : "0") + "\t" + (field % 3 ? "0" : "1") + "\t" +
            (field % 4 ? "1" : "0") + "\t" + (field % 7 ? "0" : "1") + "\t说明" + number + "\n";
  }
  return text;
}

template <typename Step>
double MedianMilliseconds(Step step) {
  std::vector<double> times;
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    step();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[kRuns / 2];
}

}  // namespace

int main() {
  char pattern[] = "/tmp/schema_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  std::string directory = pattern;
  std::string text = directory + "/schema.txt";
  std::string binary = directory + "/schema.dat";
  std::string review = directory + "/review.txt";

  // Mode 3 prints its parameter lines; keep them off the report.
  std::fflush(stdout);
  int console = dup(fileno(stdout));
  int quiet = open("/dev/null", O_WRONLY);

  std::vector<std::string> lines;
  for (int fields : {200, 2000, 20000}) {
    std::string schema = GenerateSchemaText(fields);
    FilePtr file = OpenFile(text, "wb");
    std::fwrite(schema.data(), 1, schema.size(), file.get());
    file.reset();

    dup2(quiet, fileno(stdout));
    bool succeeded = true;
    double mode3 = MedianMilliseconds([&] {
      succeeded &= RunSchemaMode(text.c_str(), binary.c_str(), review.c_str()) == 0;
      std::fflush(stdout);
    });
    dup2(console, fileno(stdout));
    CFieldInfo loaded;
    double load = MedianMilliseconds([&] { succeeded &= loaded.LoadBinary(binary.c_str()); });
    char line[200];
    std::snprintf(line, sizeof line, "%6d fields: mode 3 %8.3f ms, LoadBinary %8.3f ms%s\n", fields,
                  mode3, load, succeeded ? "" : "  (FAILED)");
    lines.push_back(line);
  }
  std::printf("median of %d runs\n", kRuns);
  for (const std::string& line : lines) std::fputs(line.c_str(), stdout);
  std::string command = "rm -rf '" + directory + "'";
  return std::system(command.c_str()) == 0 ? 0 : 1;
}
