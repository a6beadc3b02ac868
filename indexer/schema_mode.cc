// Mode 3: converts the schema text into the binary schema and writes the review text.
#include <cstdio>

#include "core/records/field_info.h"
#include "indexer/exit_status.h"
#include "indexer/modes.h"

int RunSchemaMode(const char* schemaText, const char* schemaBinary, const char* reviewText) {
  std::printf("参数如下：\n");
  std::printf("数据库字段配置文本文件名：%s\n", schemaText);
  std::printf("数据库字段配置数据存储文件名：%s\n", schemaBinary);
  std::printf("数据库字段配置数据导出文件名：%s\n", reviewText);

  CFieldInfo schema;
  if (!schema.ImportText(schemaText)) {
    std::printf("Import %s failed!\n", schemaText);
    return exit_status::kBadInput;
  }
  if (!schema.SaveBinary(schemaBinary)) {
    std::printf("Save %s failed!\n", schemaBinary);
    return exit_status::kOutput;
  }
  if (!schema.ExportText(reviewText)) {
    std::printf("Export %s failed!\n", reviewText);
    return exit_status::kOutput;
  }
  return exit_status::kSuccess;
}
