// What the operator's verbs share with each other and with the demo: their
// command lines, their output for people and for scripts, and the verbs'
// own work, so that the demo runs the very code an operator runs.
#ifndef TAVIKUSER_CLI_OPERATOR_H_
#define TAVIKUSER_CLI_OPERATOR_H_

#include <initializer_list>
#include <map>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tavikuser/administration.h"

namespace tavikuser::cli {

// A verb's command line: --db and --json, the options it names, and its
// positional arguments.
struct VerbArguments {
  std::string connection_string;  // --db, else TAVIKUSER_DB, else tavik.db
  bool json = false;
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> options;  // by "--name"
  std::set<std::string, std::less<>> switches;

  std::string option(std::string_view name) const {
    const auto found = options.find(name);
    return found == options.end() ? std::string() : found->second;
  }
};

// Reads `args`: `value_options` take a value, `switches` do not (list
// "--json" there where the verb has it); exactly `positional` other
// arguments. Throws UsageError.
VerbArguments ParseVerb(std::span<const std::string_view> args,
                        std::initializer_list<std::string_view> value_options,
                        std::initializer_list<std::string_view> switches,
                        std::size_t positional);

using Table = std::vector<std::vector<std::string>>;

// Columns padded to their widest cell, each line after `indent` blanks, with
// no blanks at the ends of lines.
void PrintTable(std::ostream& out, const Table& table, std::size_t indent = 0);

// `text` as a JSON string, quotes included.
std::string Json(std::string_view text);

// What a change of one link row did, in words, and the exit status it gives.
struct ChangeReport {
  int status;
  std::string text;
};

// Adds or removes the link row (`first`, `second`). Throws the store's
// failure.
ChangeReport ChangeLink(const std::string& connection_string, Link link,
                        bool add, const std::string& first,
                        const std::string& second);

// Asks Check_Access_Rights whether `user_no` may use `rights_no`, prints the
// answer (with the explanation when `explain`) after `indent` blanks and
// returns the exit status: 0 granted, 1 refused, 2 the check failed (its
// text on stderr).
int PrintCan(std::ostream& out, const std::string& connection_string,
             const std::string& user_no, const std::string& rights_no,
             bool explain, bool json, std::size_t indent = 0);

}  // namespace tavikuser::cli

#endif  // TAVIKUSER_CLI_OPERATOR_H_
