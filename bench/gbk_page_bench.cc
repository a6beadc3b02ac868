// gbk_page_bench: the JSON page and the XML result document of one stored value of 1 MB, for
// values a database can hold: GBK text, pairs GBK maps to nothing (AA A1 ...), lone bytes that
// start no character (FF ...) and a mix. Prints the median of `runs` runs of each formatter.
//   gbk_page_bench [megabytes=1] [runs=7]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/json_page.h"
#include "formats/result_document.h"

namespace {

ResultPage OneValuePage(const std::string& value) {
  ResultPage page;
  page.total = 1;
  page.start = 0;
  page.returned = 1;
  page.fieldCount = 1;
  page.valueLengths.push_back(static_cast<int32_t>(value.size()));
  page.text = value;
  return page;
}

int g_runs = 7;

template <typename Run>
double MedianMilliseconds(Run run) {
  std::vector<double> times;
  for (int i = 0; i < g_runs; ++i) {
    const auto started = std::chrono::steady_clock::now();
    run();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::string Repeat(const std::string& unit, size_t bytes) {
  std::string text;
  text.reserve(bytes + unit.size());
  while (text.size() < bytes) text += unit;
  text.resize(bytes);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t bytes = static_cast<size_t>(argc > 1 ? std::atof(argv[1]) * 1048576 : 1048576);
  if (argc > 2) g_runs = std::max(1, std::atoi(argv[2]));
  const struct {
    const char* name;
    std::string value;
  } values[] = {
      {"GBK text", Repeat("\xD6\xD0\xB9\xFA", bytes)},
      {"unmapped pairs (AA A1)", Repeat("\xAA\xA1", bytes)},
      {"lone bytes (FF)", Repeat("\xFF", bytes)},
      {"mix", Repeat("a\xAA\xA1\xD6\xD0\xFF<\x80", bytes)},
  };
  std::printf("%-26s %12s %12s   (%zu bytes, median of %d)\n", "1 value of", "JSON ms", "XML ms",
              bytes, g_runs);
  size_t sink = 0;
  for (const auto& item : values) {
    const ResultPage page = OneValuePage(item.value);
    const double json = MedianMilliseconds([&] { sink += FormatJsonPage(page, {"v"}).size(); });
    const double xml = MedianMilliseconds([&] {
      std::string document;
      FormatResultDocument(page, {"v"}, &document);
      sink += document.size();
    });
    std::printf("%-26s %12.2f %12.2f\n", item.name, json, xml);
  }
  return sink == 0 ? 1 : 0;
}
