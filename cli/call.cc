// tavikuser call: drives one object late-bound, as an automation client does.
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "subcommand.h"
#include "tavikuser/automation.h"
#include "tavikuser/variant.h"

namespace tavikuser::cli {
namespace {

struct CallRequest {
  std::string progid;
  std::string member;
  std::optional<std::string> argument;
  std::vector<std::pair<std::string, std::string>> lets;  // in order given
  std::vector<std::string> shows;
};

CallRequest ParseCall(std::span<const std::string_view> args) {
  CallRequest request;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view option = args[i];
    if (option != "--let" && option != "--show") {
      if (option.starts_with("--")) {
        throw UsageError("unknown option " + std::string(option));
      }
      positional.push_back(option);
      continue;
    }
    if (++i == args.size()) {
      throw UsageError(std::string(option) + " needs a value");
    }
    if (option == "--show") {
      request.shows.emplace_back(args[i]);
      continue;
    }
    const auto equals = args[i].find('=');
    if (equals == std::string_view::npos || equals == 0) {
      throw UsageError("--let needs Name=Value, not " + std::string(args[i]));
    }
    request.lets.emplace_back(args[i].substr(0, equals),
                              args[i].substr(equals + 1));
  }
  if (positional.size() < 2) throw UsageError("PROGID and MEMBER are needed");
  if (positional.size() > 3) throw UsageError("too many arguments");
  request.progid = positional[0];
  request.member = positional[1];
  if (positional.size() == 3) request.argument = positional[2];
  return request;
}

int Call(std::span<const std::string_view> args) {
  const CallRequest request = ParseCall(args);
  try {
    const ObjectRef object = automation::CreateObject(request.progid);
    for (const auto& [name, value] : request.lets) {
      object->Let(name, Variant(value));
    }
    std::vector<Variant> call_args;
    if (request.argument) call_args.emplace_back(*request.argument);
    const Variant result = object->Call(request.member, call_args);

    int status = kExitSucceeded;
    if (result.type() == VarType::kBool) {
      status = result.ToBool() ? kExitSucceeded : kExitFailed;
    }
    if (!result.is_empty()) std::cout << result.ToText() << "\n";
    if (status == kExitFailed && object->Class().HasMember("ErrDesc")) {
      std::cout << "ErrDesc: " << object->Get("ErrDesc").ToText() << "\n";
    }
    for (const std::string& name : request.shows) {
      std::cout << name << ": " << object->Get(name).ToText() << "\n";
    }
    return status;
  } catch (const std::exception& error) {
    std::cerr << "tavikuser call: " << error.what() << "\n";
    return kExitError;
  }
}

}  // namespace

const Subcommand kCallSubcommand{
    .name = "call",
    .synopsis = "PROGID MEMBER [ARG] [--let Name=Value]... [--show Name]...",
    .summary = "create an object, let its properties, call one operation",
    .help =
        R"(Creates the object registered as PROGID, lets each --let property in the
order given, calls the operation MEMBER (with ARG as its one text argument
when given) and prints the result. After a False result it prints ErrDesc;
then each --show property as "Name: value". Names are matched without regard
to letter case. Values are text; a date-time property takes ISO text
("2024-03-31" or "2024-03-31 17:45:00").

  tavikuser call TavikUser.CheckAccessRights Check_Access_Rights \
      --let "ADOConnectionString=Provider=SQLite;Data Source=tavik.db" \
      --let RightsNo=C1B2RG2 --let UserNo=C1B2US1

Exit status: 0 True, 1 False, 2 an error raised instead of a result (unknown
class or member, a value of the wrong type, an operation's failed recovery;
the description on stderr) or bad usage.
)",
    .run = Call,
};

}  // namespace tavikuser::cli
