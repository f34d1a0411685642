// tavikuser: sets up the host tables, drives the library's objects from the
// shell, and shows the access check at work.
#include <algorithm>
#include <iostream>
#include <span>
#include <string_view>
#include <vector>

#include "subcommand.h"

namespace tavikuser::cli {
namespace {

constexpr const Subcommand* kSubcommands[] = {
    &kInitSubcommand,   &kGrantSubcommand,  &kRevokeSubcommand,
    &kMemberSubcommand, &kRightsSubcommand, &kCanSubcommand,
    &kListSubcommand,   &kCallSubcommand,   &kDemoSubcommand};

bool IsHelp(std::string_view arg) { return arg == "--help" || arg == "-h"; }

void PrintCommandHelp(std::ostream& out) {
  out << "Usage: tavikuser COMMAND [ARGUMENTS]\n\n"
         "Administers the users and access rights that libtavikuser keeps in "
         "the host's\ndatabase.\n\nCommands:\n";
  for (const Subcommand* subcommand : kSubcommands) {
    out << "  " << subcommand->name << " " << subcommand->synopsis << "\n"
        << "      " << subcommand->summary << "\n";
  }
  out << "\nRun 'tavikuser COMMAND --help' for a command's details.\n";
}

void PrintSubcommandHelp(const Subcommand& subcommand) {
  std::cout << "Usage: tavikuser " << subcommand.name << " "
            << subcommand.synopsis << "\n\n"
            << subcommand.help;
}

int Run(std::span<const std::string_view> args) {
  if (args.empty()) {
    PrintCommandHelp(std::cerr);
    return kExitError;
  }
  if (IsHelp(args[0]) || args[0] == "help") {
    PrintCommandHelp(std::cout);
    return kExitSucceeded;
  }
  const auto found =
      std::ranges::find(kSubcommands, args[0], &Subcommand::name);
  if (found == std::end(kSubcommands)) {
    std::cerr << "tavikuser: unknown command " << args[0]
              << "\nRun 'tavikuser --help' for the commands.\n";
    return kExitError;
  }
  const Subcommand& subcommand = **found;
  const auto subcommand_args = args.subspan(1);
  if (std::ranges::any_of(subcommand_args, IsHelp)) {
    PrintSubcommandHelp(subcommand);
    return kExitSucceeded;
  }
  try {
    return subcommand.run(subcommand_args);
  } catch (const UsageError& error) {
    std::cerr << "tavikuser " << subcommand.name << ": " << error.what()
              << "\nUsage: tavikuser " << subcommand.name << " "
              << subcommand.synopsis << "\nRun 'tavikuser " << subcommand.name
              << " --help' for more.\n";
    return kExitError;
  }
}

}  // namespace
}  // namespace tavikuser::cli

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tavikuser::cli::Run(args);
}
