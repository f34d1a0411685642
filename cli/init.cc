// tavikuser init: creates the host tables. The library itself never does.
#include <exception>
#include <iostream>
#include <string>

#include "store.h"
#include "subcommand.h"

namespace tavikuser::cli {
namespace {

int Init(std::span<const std::string_view> args) {
  const std::string connection_string =
      ConnectionStringFromArguments(args, "tavik.db");
  // A failure names the store once the library has read its string, and
  // then only as printable: never with its password.
  std::string failed = "tavikuser init: ";
  try {
    const Store store(connection_string);
    failed += store.described.printable + ": ";
    const std::size_t statements = CreateTables(store);
    std::cout << "Created the tables (" << statements
              << " statements, one transaction) in "
              << store.described.printable << "\n";
    return kExitSucceeded;
  } catch (const std::exception& failure) {
    std::cerr << failed << failure.what() << "\nNothing was created.\n";
    return kExitFailed;
  }
}

}  // namespace

const Subcommand kInitSubcommand{
    .name = "init",
    .synopsis = "[CONNECTION]",
    .summary = "create the host tables in a store",
    .help =
        R"(Creates the tables that tavikuser works on, from the schema built into
this command, all in one transaction: either every table is created or none
(MariaDB commits each table it creates, whatever the transaction).
A store that already has them is refused with the store's own message.

CONNECTION is a connection string or the path of a SQLite file:
  (none)                               the SQLite file tavik.db
  books.db                             the SQLite file books.db
  "Provider=SQLite;Data Source=books.db"
  "Provider=PostgreSQL;Host=db;Port=5432;Database=books;User ID=tavik;Password=..."
  "Provider=MariaDB;Server=db;Port=3306;Database=books;User ID=tavik;Password=..."
  "Driver={MariaDB Unicode};Server=db;Database=books;UID=tavik;PWD=..."
Through ODBC, the schema is the one for the database the driver reaches
(SQLite, PostgreSQL or MariaDB).
A server's database must exist already; init creates tables, not
databases.

Exit status: 0 created, 1 refused or failed (the reason on stderr), 2 bad
usage.
)",
    .run = Init,
};

}  // namespace tavikuser::cli
