// Connection strings: the forms a host writes, and those it must not.
#include "platform/store/connection_string.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <filesystem>
#include <map>

#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {
namespace {

std::string Refusal(std::string_view connection_string) {
  try {
    ParseConnectionString(connection_string);
  } catch (const DataAccessError& error) {
    return error.what();
  }
  ADD_FAILURE() << "accepted: " << connection_string;
  return {};
}

// The keywords and values that libpq itself reads from `conninfo`.
std::map<std::string, std::string> AsLibpqReadsIt(const std::string& conninfo) {
  std::map<std::string, std::string> read;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
  if (!options) {
    ADD_FAILURE() << "libpq cannot read " << conninfo;
    return read;
  }
  for (PQconninfoOption* option = options; option->keyword; ++option) {
    if (option->val) read[option->keyword] = option->val;
  }
  PQconninfoFree(options);
  return read;
}

TEST(ConnectionStringTest, SQLiteOpensTheAbsoluteFile) {
  const ConnectionTarget target =
      ParseConnectionString("Provider=SQLite;Data Source=stores/tavik.db");
  const std::string absolute =
      (std::filesystem::current_path() / "stores/tavik.db").string();
  EXPECT_EQ(target.provider, Provider::kSQLite);
  EXPECT_EQ(target.parameters, absolute);
  EXPECT_EQ(
      target.pool_key,
      ParseConnectionString(
          " provider = sqlite ; DATA SOURCE = ./stores/../stores/tavik.db ;")
          .pool_key);
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
  EXPECT_THROW(ParsedConnectionString("Provider=Nowhere"), DataAccessError);
}

TEST(ConnectionStringTest, PostgreSQLAliasesAndOrderDoNotMatter) {
  const ConnectionTarget canonical = ParseConnectionString(
      "Provider=PostgreSQL;Host=db.local;Port=5433;Database=tavik;"
      "User ID=clerk;Password=secret");
  EXPECT_EQ(canonical.provider, Provider::kPostgreSQL);
  EXPECT_EQ(canonical.parameters,
            "host='db.local' port='5433' dbname='tavik' user='clerk' "
            "password='secret'");
  const ConnectionTarget aliased = ParseConnectionString(
      "PWD=secret;uid=clerk;INITIAL CATALOG=tavik;Server=db.local;"
      "port=5433;provider=postgresql");
  EXPECT_EQ(aliased.parameters, canonical.parameters);
  EXPECT_EQ(aliased.pool_key, canonical.pool_key);
  EXPECT_NE(
      ParseConnectionString("Provider=PostgreSQL;Database=other").pool_key,
      canonical.pool_key);
}

// Lists go to libpq's own multi-host connection as it reads them; a kind of
// server or a way of balancing that this libpq would not honour is refused.
TEST(ConnectionStringTest, PostgreSQLReachesAClusterThroughLibpq) {
  const std::string cluster =
      "Provider=PostgreSQL;Host=a, b ,c;Port=5432,5433,5434;"
      "Target Session Attrs=Prefer-Standby";
  const auto read = AsLibpqReadsIt(ParseConnectionString(cluster).parameters);
  EXPECT_EQ(read.at("host"), "a,b,c");
  EXPECT_EQ(read.at("port"), "5432,5433,5434");
  EXPECT_EQ(read.at("target_session_attrs"), "prefer-standby");
  EXPECT_NE(ParseConnectionString(cluster).pool_key,
            ParseConnectionString(
                "Provider=PostgreSQL;Host=a,b,c;Port=5432,5433,5434;"
                "Target Session Attrs=read-write")
                .pool_key);
  EXPECT_EQ(ParseConnectionString("Provider=PostgreSQL;Host=a,b;Port=5432")
                .parameters,
            "host='a,b' port='5432'");
  EXPECT_EQ(Refusal("Provider=PostgreSQL;Host=a,b,c;Port=5432,5433"),
            "The connection string gives 2 ports for 3 hosts: give one port "
            "for all, or one per host.");
  EXPECT_EQ(Refusal("Provider=PostgreSQL;Host=a;Target Session Attrs=master"),
            "The connection string's Target Session Attrs must be one of any, "
            "read-write, read-only, primary, standby, prefer-standby, not "
            "'master'.");
  const std::string balanced = "Provider=PostgreSQL;Load Balance Hosts=random";
  if (PQlibVersion() < 160000) {
    EXPECT_EQ(Refusal(balanced).substr(0, 79),
              "The connection string's Load Balance Hosts=random needs libpq "
              "16 or later; this");
  } else {
    EXPECT_EQ(AsLibpqReadsIt(ParseConnectionString(balanced).parameters)
                  .at("load_balance_hosts"),
              "random");
  }
}

TEST(ConnectionStringTest, MariaDBTakesItsAliasesAndAPortItCanUse) {
  const ConnectionTarget canonical = ParseConnectionString(
      "Provider=MariaDB;Server=db.local;Port=3307;Database=tavik;"
      "User ID=clerk;Password=secret");
  EXPECT_EQ(canonical.provider, Provider::kMariaDB);
  const ConnectionTarget aliased = ParseConnectionString(
      "PWD=secret;uid=clerk;Initial Catalog=tavik;Host=db.local;port=3307;"
      "provider=MySQL");
  EXPECT_EQ(aliased.pool_key, canonical.pool_key);
  EXPECT_NE(
      ParseConnectionString("Provider=MariaDB;Socket=/run/m.sock").pool_key,
      ParseConnectionString("Provider=MariaDB").pool_key);
  EXPECT_EQ(Refusal("Provider=MariaDB;Port=70000"),
            "The connection string's Port must be a whole number from 1 to "
            "65535, not '70000'.");
  EXPECT_TRUE(Refusal("Provider=MariaDB;Data Source=x")
                  .starts_with("The connection string key 'data source' is "
                               "not understood for MariaDB"));
}

TEST(ConnectionStringTest, QuotedValuesKeepSeparatorsAndQuotes) {
  const auto read = AsLibpqReadsIt(
      ParseConnectionString(
          "Provider=PostgreSQL;Password=\"a;b\"\"c\";User ID={x;y}}z};"
          "Database = ' spaced ' ")
          .parameters);
  EXPECT_EQ(read.at("password"), "a;b\"c");
  EXPECT_EQ(read.at("user"), "x;y}z");
  EXPECT_EQ(read.at("dbname"), "' spaced '");
}

TEST(ConnectionStringTest, AValueCannotAddALibpqKeyword) {
  const auto read = AsLibpqReadsIt(
      ParseConnectionString("Provider=PostgreSQL;Database=tavik;"
                            "Password=x' dbname='other' host='evil\\")
          .parameters);
  EXPECT_EQ(read.at("dbname"), "tavik");
  EXPECT_EQ(read.at("password"), "x' dbname='other' host='evil\\");
  EXPECT_EQ(read.count("host"), 0u);
}

TEST(ConnectionStringTest, ODBCStringsArePassedOnUnchanged) {
  for (const char* odbc : {"Driver={Some Driver};Server=h;Database=d",
                           "DSN=tavik;UID=clerk;PWD=p"}) {
    const ConnectionTarget target = ParseConnectionString(odbc);
    EXPECT_EQ(target.provider, Provider::kODBC);
    EXPECT_EQ(target.parameters, odbc);
  }
}

TEST(ConnectionStringTest, EmptyAndMalformedStringsAreRefusedClearly) {
  EXPECT_EQ(Refusal(""), "The connection string is empty.");
  EXPECT_EQ(Refusal(" \t"), "The connection string is empty.");
  EXPECT_EQ(Refusal("Provider=SQLite; tavik.db ;"),
            "The connection string is malformed: 'tavik.db' is not of the "
            "form Key=Value.");
  EXPECT_EQ(Refusal("Provider=SQLite;Data Source"),
            "The connection string is malformed: 'Data Source' is not of the "
            "form Key=Value.");
  EXPECT_EQ(Refusal("Provider=PostgreSQL;Password=\"open"),
            "The connection string is malformed: a value opened with \" is "
            "never closed.");
  EXPECT_EQ(Refusal("Provider=PostgreSQL;Password={a}b"),
            "The connection string is malformed: text follows the closing } "
            "of a quoted value.");
  EXPECT_EQ(Refusal("=x;Provider=SQLite"),
            "The connection string is malformed: a value is given without its "
            "key.");
  EXPECT_EQ(Refusal(std::string("Provider=SQLite;Data Source=a.db\0.b", 35)),
            "The connection string contains a NUL character.");
}

// A megabyte is refused at once; just under the bound, the shapes that took
// time growing with the square of the length (many segments before the
// first '=', many settings) are read in one pass.
TEST(ConnectionStringTest, AStringIsBoundedAndReadInOnePass) {
  const std::string sqlite = "Provider=SQLite;Data Source=a.db";
  EXPECT_EQ(Refusal(std::string(1 << 20, ';') + sqlite),
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

// Every store takes the limits, in whole seconds; the ODBC driver is not
// handed them; connections under other limits are pooled apart.
TEST(ConnectionStringTest, EveryStoreTakesTheTimeouts) {
  const std::string limits =
      ";idle timeout=5;Connect Timeout=6;COMMAND TIMEOUT=7;Lock Timeout=8";
  for (const std::string store :
       {"Provider=SQLite;Data Source=a.db", "Provider=PostgreSQL;Host=db",
        "Driver={SQLite3};Database=a.db"}) {
    const ConnectionTarget target = ParseConnectionString(store + limits);
    EXPECT_EQ(target.limits.idle.count(), 5);
    EXPECT_EQ(target.limits.connect.count(), 6);
    EXPECT_EQ(target.limits.command.count(), 7);
    EXPECT_EQ(target.limits.lock.count(), 8);
    EXPECT_NE(target.pool_key, ParseConnectionString(store).pool_key);
    if (target.provider == Provider::kODBC) {
      EXPECT_EQ(target.parameters, store + ";");
    }
  }
  const ConnectionTarget defaults =
      ParseConnectionString("Provider=PostgreSQL;Host=db");
  EXPECT_EQ(defaults.limits.idle.count(), 60);
  EXPECT_EQ(defaults.limits.connect.count(), 15);
  EXPECT_EQ(defaults.limits.command.count(), 30);
  EXPECT_EQ(defaults.limits.lock.count(), 10);
  for (const char* wrong : {"0", "-1", "1.5", "86401", "ten"}) {
    EXPECT_EQ(Refusal(std::string("Provider=SQLite;Data Source=a.db;Command "
                                  "Timeout=") +
                      wrong),
              std::string("The connection string's Command Timeout must be a "
                          "whole number of seconds from 1 to 86400, not '") +
                  wrong + "'.");
  }
}

TEST(ConnectionStringTest, ProviderAndKeysMustBeKnown) {
  EXPECT_EQ(Refusal("Provider=Nowhere;Data Source=x"),
            "The provider 'Nowhere' is not supported: use Provider=SQLite, "
            "Provider=PostgreSQL, Provider=MariaDB, or an ODBC Driver or DSN.");
  EXPECT_EQ(Refusal("Data Source=tavik.db"),
            "The connection string names no provider: give Provider=SQLite, "
            "Provider=PostgreSQL, Provider=MariaDB, or an ODBC Driver or DSN.");
  EXPECT_EQ(Refusal("Provider=SQLite;Data Source="),
            "The SQLite connection string names no database file (Data "
            "Source=...).");
  EXPECT_TRUE(Refusal("Provider=PostgreSQL;Databse=tavik")
                  .starts_with("The connection string key 'databse' is not "
                               "understood for PostgreSQL"));
}

TEST(ConnectionStringTest, PrintableHidesEveryPasswordWhole) {
  EXPECT_EQ(DescribeConnectionString(
                " Provider = PostgreSQL ;Host=db;;Password=secret;UID=clerk")
                .printable,
            "Provider = PostgreSQL;Host=db;Password=***;UID=clerk");
  // A quoted password may hold ';' and '=': none of it may show, nor pass
  // for another setting.
  EXPECT_EQ(DescribeConnectionString(
                "Provider=PostgreSQL;pwd=\"se;Host=cret\";Database=d")
                .printable,
            "Provider=PostgreSQL;pwd=***;Database=d");
  EXPECT_EQ(
      DescribeConnectionString("DSN=books;PWD={a;b}}c};UID=clerk").printable,
      "DSN=books;PWD=***;UID=clerk");
}

TEST(ConnectionStringTest, DescriptionNamesTheProviderAndTheFileOpened) {
  const ConnectionStringInfo sqlite =
      DescribeConnectionString("provider=sqlite;data source=a/../tavik.db");
  EXPECT_EQ(sqlite.provider, "SQLite");
  EXPECT_EQ(sqlite.sqlite_file,
            (std::filesystem::current_path() / "tavik.db").string());
  EXPECT_EQ(DescribeConnectionString("Provider=postgresql").provider,
            "PostgreSQL");
  const ConnectionStringInfo odbc = DescribeConnectionString("DSN=books");
  EXPECT_EQ(odbc.provider, "ODBC");
  EXPECT_EQ(odbc.sqlite_file, "");
  EXPECT_THROW(DescribeConnectionString("Provider=SQLite;Password=\"open"),
               DataAccessError);
}

}  // namespace
}  // namespace tavikuser::store
