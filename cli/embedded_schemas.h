// The host tables' schema files, built into the command (see CMakeLists.txt).
#ifndef TAVIKUSER_CLI_EMBEDDED_SCHEMAS_H_
#define TAVIKUSER_CLI_EMBEDDED_SCHEMAS_H_

#include <span>
#include <string_view>

namespace tavikuser::cli {

struct EmbeddedSchema {
  std::string_view dialect;  // the file's name without .sql: "sqlite", ...
  std::string_view script;   // the file's text
};

std::span<const EmbeddedSchema> EmbeddedSchemas();

}  // namespace tavikuser::cli

#endif  // TAVIKUSER_CLI_EMBEDDED_SCHEMAS_H_
