// Connection strings: the forms a host writes, and those it must not.
#include "platform/store/connection_string.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {
namespace {

// The keywords and values that libpq itself reads from `conninfo`.
std::map<std::string, std::string> AsLibpqReadsIt(const std::string& conninfo) {
  std::map<std::string, std::string> read;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
  if (!options) ADD_FAILURE() << "libpq cannot read " << conninfo;
  for (PQconninfoOption* option = options; option && option->keyword;
       ++option) {
    if (option->val) read[option->keyword] = option->val;
  }
  PQconninfoFree(options);
  return read;
}

// The store and what it is opened with (PostgreSQL: as libpq reads it;
// SQLite: the file, "." for the working folder; MariaDB: its parts), and the
// limits unless they are the defaults; or the refusal's text.
std::string Reading(std::string_view connection_string) {
  try {
    const ConnectionTarget target = ParseConnectionString(connection_string);
    const ConnectionStringInfo info =
        DescribeConnectionString(connection_string);
    std::string reading = info.provider + ":", parameters = target.parameters;
    EXPECT_EQ(info.sqlite_file,
              target.provider == Provider::kSQLite ? parameters : "");
    const std::string folder = std::filesystem::current_path().string();
    if (parameters.starts_with(folder))
      parameters.replace(0, folder.size(), ".");
    std::replace(parameters.begin(), parameters.end(), '\0', '|');
    if (target.provider != Provider::kPostgreSQL) {
      reading += " " + parameters;
    } else {
      for (const auto& [keyword, value] : AsLibpqReadsIt(parameters)) {
        reading += " " + keyword + "=" + value;
      }
    }
    const Limits& limits = target.limits;
    const std::string seconds = std::to_string(limits.idle.count()) + " " +
                                std::to_string(limits.connect.count()) + " " +
                                std::to_string(limits.command.count()) + " " +
                                std::to_string(limits.lock.count());
    return reading + (seconds == "60 15 30 10" ? "" : " limits " + seconds);
  } catch (const DataAccessError& error) {
    EXPECT_THROW(DescribeConnectionString(connection_string), DataAccessError);
    return error.what();
  }
}

constexpr char kLimits[] =
    ";idle timeout=5;Connect Timeout=6;COMMAND TIMEOUT=7;Lock Timeout=8";

TEST(ConnectionStringTest, EachStringReadsAsItsStoreTakesIt) {
  const std::pair<std::string, std::string> kReadings[] = {
      {"Provider=SQLite;Data Source=stores/tavik.db",
       "SQLite: ./stores/tavik.db"},
      {" provider = sqlite ; DATA SOURCE = ./stores/../stores/tavik.db ;",
       "SQLite: ./stores/tavik.db"},
      {"Provider=PostgreSQL;Host=h;Port=5433;Database=d;User ID=u;Password=p",
       "PostgreSQL: dbname=d host=h password=p port=5433 user=u"},
      {"PWD=p;uid=u;INITIAL CATALOG=d;Server=h;port=5433;provider=postgresql",
       "PostgreSQL: dbname=d host=h password=p port=5433 user=u"},
      // Lists go to libpq's own multi-host connection as it reads them.
      {"Provider=PostgreSQL;Host=a, b ,c;Port=1,2,3;"
       "Target Session Attrs=Prefer-Standby",
       "PostgreSQL: host=a,b,c port=1,2,3 target_session_attrs=prefer-standby"},
      {"Provider=PostgreSQL;Host=a,b;Port=1", "PostgreSQL: host=a,b port=1"},
      {"Provider=PostgreSQL;Database=other", "PostgreSQL: dbname=other"},
      {"Provider=PostgreSQL;Password=\"a;b\"\"c\";User ID={x;y}}z};"
       "Database = ' spaced ' ",
       "PostgreSQL: dbname=' spaced ' password=a;b\"c user=x;y}z"},
      // A value cannot add a libpq keyword.
      {"Provider=PostgreSQL;Database=tavik;Password=x' dbname='other' "
       "host='evil\\",
       "PostgreSQL: dbname=tavik password=x' dbname='other' host='evil\\"},
      {"Provider=MariaDB;Server=h;Port=3307;Database=d;User ID=u;Password=p",
       "MariaDB: h|3307|d|u|p||"},
      {"PWD=p;uid=u;Initial Catalog=d;Host=h;port=3307;provider=MySQL",
       "MariaDB: h|3307|d|u|p||"},
      {"Provider=MariaDB;Socket=/run/m.sock", "MariaDB: |||||/run/m.sock|"},
      {"Driver={Some Driver};Server=h;Database=d",
       "ODBC: Driver={Some Driver};Server=h;Database=d"},
      {"DSN=tavik;UID=clerk;PWD=p", "ODBC: DSN=tavik;UID=clerk;PWD=p"},
      // Every store takes the limits; the ODBC driver is not handed them.
      {std::string("Provider=PostgreSQL;Database=other") + kLimits,
       "PostgreSQL: dbname=other limits 5 6 7 8"},
      {std::string("DSN=tavik;UID=clerk;PWD=p") + kLimits,
       "ODBC: DSN=tavik;UID=clerk;PWD=p; limits 5 6 7 8"},
      {" \t", "The connection string is empty."},
      {"Provider=SQLite; tavik.db ;",
       "The connection string is malformed: 'tavik.db' is not of the form "
       "Key=Value."},
      {"Provider=PostgreSQL;Password=\"open",
       "The connection string is malformed: a value opened with \" is never "
       "closed."},
      {"Provider=PostgreSQL;Password={a}b",
       "The connection string is malformed: text follows the closing } of a "
       "quoted value."},
      {"=x;Provider=SQLite",
       "The connection string is malformed: a value is given without its "
       "key."},
      {std::string("Provider=SQLite;Data Source=a.db\0.b", 35),
       "The connection string contains a NUL character."},
      // A refusal that goes on to list what is known, to its "...".
      {"Provider=Nowhere;Data Source=x",
       "The provider 'Nowhere' is not supported: use ..."},
      {"Data Source=tavik.db",
       "The connection string names no provider: give ..."},
      {"Provider=SQLite;Data Source=",
       "The SQLite connection string names no database file (Data "
       "Source=...)."},
      {"Provider=PostgreSQL;Databse=tavik",
       "The connection string key 'databse' is not understood for PostgreSQL "
       "(known: ..."},
      {"Provider=MariaDB;Data Source=x",
       "The connection string key 'data source' is not understood for "
       "MariaDB (known: ..."},
      {"Provider=MariaDB;Port=70000",
       "The connection string's Port must be a whole number from 1 to 65535, "
       "not '70000'."},
      {"Provider=PostgreSQL;Host=a,b,c;Port=5432,5433",
       "The connection string gives 2 ports for 3 hosts: give one port for "
       "all, or one per host."},
      {"Provider=PostgreSQL;Host=a;Target Session Attrs=master",
       "The connection string's Target Session Attrs must be one of any, "
       "read-write, read-only, primary, standby, prefer-standby, not "
       "'master'."},
  };
  // Equal keys share pooled connections: those of strings read alike, and
  // only those.
  std::map<std::string, std::string> key_of_reading, reading_of_key;
  for (const auto& [connection_string, expected] : kReadings) {
    const std::string reading = Reading(connection_string);
    const std::size_t listing =
        expected.ends_with("...") ? expected.size() - 3 : std::string::npos;
    EXPECT_EQ(reading.substr(0, listing), expected.substr(0, listing))
        << connection_string;
    if (reading.starts_with("The ")) continue;
    const std::string key = ParseConnectionString(connection_string).pool_key;
    EXPECT_EQ(key_of_reading.emplace(reading, key).first->second, key);
    EXPECT_EQ(reading_of_key.emplace(key, reading).first->second, reading);
  }
  for (const std::string wrong : {"0", "-1", "1.5", "86401", "ten"}) {
    EXPECT_EQ(
        Reading("Provider=SQLite;Data Source=a.db;Command Timeout=" + wrong),
        "The connection string's Command Timeout must be a whole number "
        "of seconds from 1 to 86400, not '" +
            wrong + "'.");
  }
  // A way of balancing that this libpq would not honour is refused.
  EXPECT_TRUE(Reading("Provider=PostgreSQL;Load Balance Hosts=random")
                  .starts_with(PQlibVersion() < 160000
                                   ? "The connection string's Load Balance "
                                     "Hosts=random needs libpq 16 or later; "
                                     "this"
                                   : "PostgreSQL: load_balance_hosts=random"));
}

// A string is read once and its reading kept, except where the same words
// name another file after the host changes its working folder.
TEST(ConnectionStringTest, AKeptReadingStillFollowsTheWorkingFolder) {
  const std::string relative = "Provider=SQLite;Data Source=tavik.db";
  const std::filesystem::path before = std::filesystem::current_path();
  EXPECT_EQ(ParsedConnectionString(relative)->parameters,
            (before / "tavik.db").string());
  std::filesystem::current_path(before.parent_path());
  const std::string after = ParsedConnectionString(relative)->parameters;
  std::filesystem::current_path(before);
  EXPECT_EQ(after, (before.parent_path() / "tavik.db").string());

  const std::string absolute = "Provider=SQLite;Data Source=/books/tavik.db";
  EXPECT_EQ(ParsedConnectionString(absolute), ParsedConnectionString(absolute));
}

// A megabyte is refused at once; just under the bound, the shapes that took
// time growing with the square of the length (many segments before the
// first '=', many settings) are read in one pass.
TEST(ConnectionStringTest, AStringIsBoundedAndReadInOnePass) {
  const std::string sqlite = "Provider=SQLite;Data Source=a.db";
  EXPECT_EQ(Reading(std::string(1 << 20, ';') + sqlite),
            "The connection string is 1048608 characters long; at most 65536 "
            "are taken.");
  const std::size_t room = kMostConnectionStringLength - sqlite.size();
  EXPECT_EQ(ParseConnectionString(std::string(room, ';') + sqlite).provider,
            Provider::kSQLite);
  std::string settings = sqlite;
  while (settings.size() + sqlite.size() < kMostConnectionStringLength) {
    settings += ";" + sqlite;
  }
  EXPECT_EQ(ParseConnectionString(settings).provider, Provider::kSQLite);
}

// A password never shows, whole, even when quoted around ';' and '='.
TEST(ConnectionStringTest, PrintableHidesEveryPasswordWhole) {
  const std::pair<const char*, const char*> kPrintables[] = {
      {" Provider = PostgreSQL ;Host=db;;Password=secret;UID=clerk",
       "Provider = PostgreSQL;Host=db;Password=***;UID=clerk"},
      {"Provider=PostgreSQL;pwd=\"se;Host=cret\";Database=d",
       "Provider=PostgreSQL;pwd=***;Database=d"},
      {"DSN=books;PWD={a;b}}c};UID=clerk", "DSN=books;PWD=***;UID=clerk"},
  };
  for (const auto& [connection_string, printable] : kPrintables) {
    EXPECT_EQ(DescribeConnectionString(connection_string).printable, printable);
  }
}

}  // namespace
}  // namespace tavikuser::store
