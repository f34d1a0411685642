#include "operator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "store.h"
#include "subcommand.h"
#include "tavikuser/access_report.h"
#include "tavikuser/check_access_rights.h"

namespace tavikuser::cli {
namespace {

bool Names(std::initializer_list<std::string_view> names,
           std::string_view name) {
  return std::ranges::find(names, name) != names.end();
}

// The words for one link table, by Link.
struct LinkWords {
  const char* table;
  const char* first;
  const char* first_master;
  const char* second;
  const char* second_master;
};

constexpr LinkWords kLinkWords[] = {
    {"Access_Control_Rights", "user", "User_Master", "right", "Rights_Master"},
    {"Group_Detail", "group", "User_Group", "right", "Rights_Master"},
    {"Role_Detail", "role", "Role_Master", "right", "Rights_Master"},
    {"Access_Control_Groups", "user", "User_Master", "group", "User_Group"},
    {"Access_Control", "role", "Role_Master", "group", "User_Group"},
};

std::string JsonList(const std::vector<std::string>& texts) {
  std::string list = "[";
  for (const std::string& text : texts) {
    if (list.size() > 1) list += ",";
    list += Json(text);
  }
  return list + "]";
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) {
    joined += (joined.empty() ? "" : ", ") + text;
  }
  return joined;
}

constexpr const char* kMissingNames[] = {"none", "catalogue_row", "user",
                                         "grant"};

// The explanation as lines of a table, each naming a link and its state.
Table ExplanationLines(const AccessExplanation& why, const std::string& user,
                       const std::string& right) {
  Table lines = {
      {"catalogue", why.in_catalogue ? right + " " + why.rights_name
                                     : "no Rights_Master row for " + right},
      {"user", why.user_known ? user + " is in User_Master"
                              : "no User_Master row for " + user},
      {"direct", why.direct ? "a direct grant" : "no direct grant"},
      {"groups", why.user_groups.empty() ? "in no group"
                 : why.granting_groups.empty()
                     ? Joined(why.user_groups) + ", none of which grants it"
                     : Joined(why.granting_groups) + " grants it"},
  };
  const std::string fixes[] = {
      "",
      "the catalogue row: create the right first",
      "the user: no such user number",
      "a grant: tavikuser grant " + right + " --user " + user +
          ", or --group GROUPNO for a group of theirs",
  };
  if (why.missing != MissingLink::kNone) {
    lines.push_back({"missing", fixes[static_cast<int>(why.missing)]});
  }
  return lines;
}

std::string ExplanationJson(const AccessExplanation& why) {
  auto flag = [](bool b) { return b ? "true" : "false"; };
  return std::string("{\"missing\":") +
         Json(kMissingNames[static_cast<int>(why.missing)]) +
         ",\"in_catalogue\":" + flag(why.in_catalogue) +
         ",\"rights_name\":" + Json(why.rights_name) +
         ",\"user_known\":" + flag(why.user_known) +
         ",\"direct\":" + flag(why.direct) +
         ",\"granting_groups\":" + JsonList(why.granting_groups) +
         ",\"user_groups\":" + JsonList(why.user_groups) + "}";
}

}  // namespace

VerbArguments ParseVerb(std::span<const std::string_view> args,
                        std::initializer_list<std::string_view> value_options,
                        std::initializer_list<std::string_view> switches,
                        std::size_t positional) {
  VerbArguments parsed;
  std::string db;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!arg.starts_with("--")) {
      parsed.positional.emplace_back(arg);
    } else if (Names(switches, arg)) {
      parsed.switches.emplace(arg);
    } else if (arg == "--db" || Names(value_options, arg)) {
      if (++i == args.size()) {
        throw UsageError(std::string(arg) + " needs a value");
      }
      (arg == "--db" ? db : parsed.options[std::string(arg)]) = args[i];
    } else {
      throw UsageError("unknown option " + std::string(arg));
    }
  }
  if (parsed.positional.size() != positional) {
    throw UsageError(parsed.positional.size() < positional
                         ? "arguments are missing"
                         : "too many arguments");
  }
  if (db.empty()) {
    const char* from_environment = std::getenv("TAVIKUSER_DB");
    db = from_environment != nullptr && *from_environment != '\0'
             ? from_environment
             : "tavik.db";
  }
  parsed.connection_string = ConnectionStringOf(db);
  parsed.json = parsed.switches.contains("--json");
  return parsed;
}

void PrintTable(std::ostream& out, const Table& table, std::size_t indent) {
  std::vector<std::size_t> widths;
  for (const auto& row : table) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  for (const auto& row : table) {
    std::string line(indent, ' ');
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      line.append(widths[column] - row[column].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << "\n";
  }
}

std::string Json(std::string_view text) {
  std::string json = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          json += escaped;
        } else {
          json += c;  // UTF-8 passes as it is
        }
    }
  }
  return json + "\"";
}

ChangeReport ChangeLink(const std::string& connection_string, Link link,
                        bool add, const std::string& first,
                        const std::string& second) {
  const LinkWords& words = kLinkWords[static_cast<int>(link)];
  const std::string row = std::string(words.table) + " row for " + words.first +
                          " " + first + " and " + words.second + " " + second;
  switch (add ? AddLink(connection_string, link, first, second)
              : RemoveLink(connection_string, link, first, second)) {
    case LinkChange::kMade:
      return {kExitSucceeded, (add ? "Wrote the " : "Deleted the ") + row};
    case LinkChange::kUnchanged:
      return {kExitSucceeded, "The " + row + " is there already"};
    case LinkChange::kNotFound:
      return {kExitFailed, "There is no " + row + "; nothing changed"};
    case LinkChange::kUnknownFirst:
      return {kExitFailed, std::string("No ") + words.first + " " + first +
                               " in " + words.first_master +
                               "; nothing changed"};
    case LinkChange::kUnknownSecond:
      break;
  }
  return {kExitFailed, std::string("No ") + words.second + " " + second +
                           " in " + words.second_master + "; nothing changed"};
}

int PrintCan(std::ostream& out, const std::string& connection_string,
             const std::string& user_no, const std::string& rights_no,
             bool explain, bool json, std::size_t indent) {
  CheckAccessRights check;
  check.ADOConnectionString(connection_string);
  check.UserNo(user_no);
  check.RightsNo(rights_no);
  const bool granted = check.Check_Access_Rights();
  const std::string answer = granted ? "" : check.ErrDesc();
  if (!granted && answer != "Access Denied") {
    std::cerr << "tavikuser can: " << answer << "\n";
    return kExitError;
  }
  std::optional<AccessExplanation> why;
  if (explain) why = ExplainAccess(connection_string, user_no, rights_no);
  if (json) {
    out << "{\"user_no\":" << Json(user_no)
        << ",\"rights_no\":" << Json(rights_no)
        << ",\"granted\":" << (granted ? "true" : "false");
    if (why) out << ",\"explanation\":" << ExplanationJson(*why);
    out << "}\n";
  } else {
    out << std::string(indent, ' ')
        << (granted ? "granted: " + user_no + " may use " + rights_no
                    : "refused: " + answer)
        << "\n";
    if (why)
      PrintTable(out, ExplanationLines(*why, user_no, rights_no), indent + 2);
  }
  return granted ? kExitSucceeded : kExitFailed;
}

}  // namespace tavikuser::cli
