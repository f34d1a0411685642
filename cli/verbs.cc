// The operator's verbs: grant and revoke rights, add and remove group
// members, and read what a user holds, whether a user may do something and
// why, and the registers.
#include <algorithm>
#include <exception>
#include <functional>
#include <iostream>

#include "operator.h"
#include "subcommand.h"
#include "tavikuser/access_report.h"

namespace tavikuser::cli {
namespace {

// Runs a verb's work; a failure of the store is the error status, with its
// text on stderr.
int Guarded(std::string_view verb, const std::function<int()>& work) {
  try {
    return work();
  } catch (const std::exception& failure) {
    std::cerr << "tavikuser " << verb << ": " << failure.what() << "\n";
    return kExitError;
  }
}

int Report(const ChangeReport& report) {
  (report.status == kExitSucceeded ? std::cout : std::cerr)
      << report.text << ".\n";
  return report.status;
}

int GrantOrRevoke(std::span<const std::string_view> args, bool grant) {
  const VerbArguments parsed =
      ParseVerb(args, {"--user", "--group", "--role"}, {}, 1);
  if (parsed.options.size() != 1) {
    throw UsageError("name one of --user, --group or --role");
  }
  const auto& [option, holder] = *parsed.options.begin();
  const Link link = option == "--user"    ? Link::kUserRight
                    : option == "--group" ? Link::kGroupRight
                                          : Link::kRoleRight;
  return Guarded(grant ? "grant" : "revoke", [&] {
    return Report(ChangeLink(parsed.connection_string, link, grant, holder,
                             parsed.positional[0]));
  });
}

int Grant(std::span<const std::string_view> args) {
  return GrantOrRevoke(args, true);
}

int Revoke(std::span<const std::string_view> args) {
  return GrantOrRevoke(args, false);
}

int Member(std::span<const std::string_view> args) {
  const VerbArguments parsed = ParseVerb(args, {}, {"--role"}, 3);
  const std::string& action = parsed.positional[0];
  if (action != "add" && action != "remove") {
    throw UsageError("the first argument is add or remove, not " + action);
  }
  const Link link =
      parsed.switches.contains("--role") ? Link::kRoleGroup : Link::kUserGroup;
  return Guarded("member", [&] {
    return Report(ChangeLink(parsed.connection_string, link, action == "add",
                             parsed.positional[1], parsed.positional[2]));
  });
}

int Rights(std::span<const std::string_view> args) {
  const VerbArguments parsed = ParseVerb(args, {}, {"--json"}, 1);
  const std::string& user = parsed.positional[0];
  return Guarded("rights", [&] {
    const std::vector<HeldRight> held =
        EffectiveRights(parsed.connection_string, user);
    if (parsed.json) {
      std::cout << "{\"user_no\":" << Json(user) << ",\"rights\":[";
      const char* separator = "";
      for (const HeldRight& right : held) {
        std::cout << separator << "{\"rights_no\":" << Json(right.rights_no)
                  << ",\"rights_name\":" << Json(right.rights_name)
                  << ",\"direct\":" << (right.direct ? "true" : "false")
                  << ",\"groups\":[";
        for (std::size_t i = 0; i < right.groups.size(); ++i) {
          std::cout << (i > 0 ? "," : "") << Json(right.groups[i]);
        }
        std::cout << "]}";
        separator = ",";
      }
      std::cout << "]}\n";
      return kExitSucceeded;
    }
    if (held.empty()) {
      std::cout << user << " holds no rights.\n";
      return kExitSucceeded;
    }
    Table table = {{"RIGHT", "NAME", "HELD"}};
    for (const HeldRight& right : held) {
      std::string how = right.direct ? "direct" : "";
      for (const std::string& group : right.groups) {
        how += (how.empty() ? "group " : ", group ") + group;
      }
      table.push_back({right.rights_no, right.rights_name, how});
    }
    PrintTable(std::cout, table);
    return kExitSucceeded;
  });
}

int Can(std::span<const std::string_view> args) {
  const VerbArguments parsed = ParseVerb(args, {}, {"--explain", "--json"}, 2);
  return Guarded("can", [&] {
    return PrintCan(std::cout, parsed.connection_string, parsed.positional[0],
                    parsed.positional[1], parsed.switches.contains("--explain"),
                    parsed.json);
  });
}

int List(std::span<const std::string_view> args) {
  const VerbArguments parsed =
      ParseVerb(args, {"--company", "--branch"}, {"--json"}, 1);
  constexpr std::string_view kRegisters[] = {"users", "groups", "rights",
                                             "roles"};
  const auto found = std::ranges::find(kRegisters, parsed.positional[0]);
  if (found == std::end(kRegisters)) {
    throw UsageError("list users, groups, rights or roles, not " +
                     parsed.positional[0]);
  }
  const auto what = static_cast<Register>(found - std::begin(kRegisters));
  const bool users = what == Register::kUsers;
  return Guarded("list", [&] {
    const std::vector<RegisterRow> rows =
        ListRegister(parsed.connection_string, what, parsed.option("--company"),
                     parsed.option("--branch"));
    if (parsed.json) {
      std::cout << "[";
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const RegisterRow& row = rows[i];
        std::cout << (i > 0 ? "," : "") << "{\"number\":" << Json(row.number)
                  << (users ? ",\"user_id\":" + Json(row.user_id) : "")
                  << ",\"name\":" << Json(row.name)
                  << ",\"company\":" << Json(row.company)
                  << ",\"branch\":" << Json(row.branch) << "}";
      }
      std::cout << "]\n";
      return kExitSucceeded;
    }
    Table table;
    table.push_back({"NUMBER", "NAME", "COMPANY", "BRANCH"});
    if (users) table.front().insert(table.front().begin() + 1, "ID");
    for (const RegisterRow& row : rows) {
      table.push_back({row.number, row.name, row.company, row.branch});
      if (users) table.back().insert(table.back().begin() + 1, row.user_id);
    }
    PrintTable(std::cout, table);
    return kExitSucceeded;
  });
}

}  // namespace

// Each verb's help ends with the same paragraph on --db.
#define TAVIK_DB_HELP                                                        \
  "--db CONNECTION names the store: a connection string, or the path of a\n" \
  "SQLite file; without it, TAVIKUSER_DB from the environment, else "        \
  "tavik.db.\n"

const Subcommand kGrantSubcommand{
    .name = "grant",
    .synopsis =
        "RIGHT (--user USERNO | --group GROUPNO | --role ROLENO) "
        "[--db CONNECTION]",
    .summary = "grant a right to a user, a group or a role",
    .help =
        R"(Writes the row that grants the right RIGHT: Access_Control_Rights for a
user, Group_Detail for a group, Role_Detail for a role; in one transaction.
Both numbers must name rows of their registers (Rights_Master, User_Master,
User_Group, Role_Master). Granting twice leaves one row.

  tavikuser grant C1B2RG2 --user C1B2US1

)" TAVIK_DB_HELP R"(
Exit status: 0 granted (or granted already), 1 refused (an unknown number),
2 a failure of the store or bad usage.
)",
    .run = Grant,
};

const Subcommand kRevokeSubcommand{
    .name = "revoke",
    .synopsis =
        "RIGHT (--user USERNO | --group GROUPNO | --role ROLENO) "
        "[--db CONNECTION]",
    .summary = "revoke a right from a user, a group or a role",
    .help =
        R"(Deletes every row that grants the right RIGHT to the user, group or role
directly, in one transaction. A user may still hold the right through a
group: `tavikuser can USERNO RIGHT --explain` tells.

)" TAVIK_DB_HELP R"(
Exit status: 0 revoked, 1 no such grant or an unknown number, 2 a failure of
the store or bad usage.
)",
    .run = Revoke,
};

const Subcommand kMemberSubcommand{
    .name = "member",
    .synopsis = "add|remove USERNO GROUPNO [--role] [--db CONNECTION]",
    .summary = "put a user into a group, or take one out",
    .help =
        R"(Writes or deletes the Access_Control_Groups row of the user and the group,
in one transaction. With --role, the first number is a role's and the row
is the role's Access_Control row for the group. Adding twice leaves one
row; both numbers must name rows of their registers.

)" TAVIK_DB_HELP R"(
Exit status: 0 done, 1 refused (an unknown number, or no such row to
remove), 2 a failure of the store or bad usage.
)",
    .run = Member,
};

const Subcommand kRightsSubcommand{
    .name = "rights",
    .synopsis = "USERNO [--json] [--db CONNECTION]",
    .summary = "list every right a user holds, and how",
    .help =
        R"(Lists the rights that USERNO holds, as Check_Access_Rights counts them:
a catalogue row and a direct grant or a grant to one of the user's groups.
Each line tells how the right is held: directly, through which groups. With
--json, one JSON object: {"user_no", "rights": [{"rights_no",
"rights_name", "direct", "groups"}]}.

)" TAVIK_DB_HELP R"(
Exit status: 0 done, 2 a failure of the store or bad usage.
)",
    .run = Rights,
};

const Subcommand kCanSubcommand{
    .name = "can",
    .synopsis = "USERNO RIGHT [--explain] [--json] [--db CONNECTION]",
    .summary = "ask whether a user may use a right, and why",
    .help =
        R"(Asks TavikUser.CheckAccessRights whether USERNO holds RIGHT and prints
"granted" or "refused". With --explain, also each link on the way: the
catalogue row, the user's row, a direct grant, the user's groups and which
of them grant it, and, when refused, the missing link. With --json, one
JSON object: {"user_no", "rights_no", "granted", "explanation": {"missing",
"in_catalogue", "rights_name", "user_known", "direct", "granting_groups",
"user_groups"}}.

)" TAVIK_DB_HELP R"(
Exit status: 0 granted, 1 refused, 2 a failure of the store or bad usage.
)",
    .run = Can,
};

const Subcommand kListSubcommand{
    .name = "list",
    .synopsis =
        "users|groups|rights|roles [--company C] [--branch B] [--json] "
        "[--db CONNECTION]",
    .summary = "list a register: users, groups, rights or roles",
    .help =
        R"(Lists the rows of a register by number, of one company and branch prefix
when given. With --json, an array of {"number", "name", "company",
"branch"} objects (users also have "user_id").

)" TAVIK_DB_HELP R"(
Exit status: 0 done, 2 a failure of the store or bad usage.
)",
    .run = List,
};

}  // namespace tavikuser::cli
