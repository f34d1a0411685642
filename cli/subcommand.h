// What every subcommand of `tavikuser` shares: its description for the help
// texts, its entry point, and the exit statuses.
#ifndef TAVIKUSER_CLI_SUBCOMMAND_H_
#define TAVIKUSER_CLI_SUBCOMMAND_H_

#include <span>
#include <stdexcept>
#include <string_view>

namespace tavikuser::cli {

// 0: done, or a true result.
inline constexpr int kExitSucceeded = 0;
// A false result, or the store refused the work.
inline constexpr int kExitFailed = 1;
// Bad usage, or an error that an operation raised instead of a result.
inline constexpr int kExitError = 2;

// The command line does not fit the subcommand; the text says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Subcommand {
  std::string_view name;
  std::string_view synopsis;  // arguments, after `tavikuser NAME`
  std::string_view summary;   // one line for `tavikuser --help`
  std::string_view help;      // the rest of `tavikuser NAME --help`
  // Receives the arguments after the subcommand's name, `--help` excluded.
  // Throws UsageError when they do not fit.
  int (*run)(std::span<const std::string_view> args);
};

extern const Subcommand kInitSubcommand;
extern const Subcommand kCallSubcommand;
extern const Subcommand kDemoSubcommand;
extern const Subcommand kGrantSubcommand;
extern const Subcommand kRevokeSubcommand;
extern const Subcommand kMemberSubcommand;
extern const Subcommand kRightsSubcommand;
extern const Subcommand kCanSubcommand;
extern const Subcommand kListSubcommand;

}  // namespace tavikuser::cli

#endif  // TAVIKUSER_CLI_SUBCOMMAND_H_
