#include "dataset.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include "support/servers.h"

namespace tavikuser::bench {
namespace {

constexpr char kLastUpdate[] = "2024-01-02 03:04:05.000";

// A table as the loaders see it: its columns and its rows as text, which
// both stores convert to the column's type.
struct Table {
  const char* name;
  std::vector<const char*> columns;
  std::size_t rows;
  std::function<std::vector<std::string>(std::size_t)> row;
};

std::vector<std::string> MasterRow(const std::string& key, std::int64_t number,
                                   const char* document_prefix,
                                   std::vector<std::string> rest) {
  std::vector<std::string> row{key, std::to_string(number), "C1", "B1",
                               document_prefix};
  row.insert(row.end(), rest.begin(), rest.end());
  return row;
}

std::vector<Table> Tables(const Dataset& data) {
  using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;
  const auto link = [](const char* name, std::vector<const char*> columns,
                       const Pairs& pairs, auto first_key, auto second_key) {
    return Table{name, std::move(columns), pairs.size(),
                 [&pairs, first_key, second_key](std::size_t i) {
                   return std::vector<std::string>{first_key(pairs[i].first),
                                                   second_key(pairs[i].second)};
                 }};
  };
  const Size size = data.size;
  return {
      {"Rights_Master",
       {"Rights_No", "Rights_Identity", "Company_Prefix", "Branch_Prefix",
        "Document_Prefix", "Rights_Name", "Rights_Parent", "Last_Update"},
       static_cast<std::size_t>(size.rights),
       [](std::size_t i) {
         const std::int64_t n = static_cast<std::int64_t>(i) + 1;
         // Rights form a tree of ten children per parent.
         return MasterRow(RightsNo(n), n, "RG",
                          {"Right " + std::to_string(n),
                           n > 10 ? RightsNo(n / 10) : "", kLastUpdate});
       }},
      {"User_Master",
       {"User_No", "User_Identity", "Company_Prefix", "Branch_Prefix",
        "Document_Prefix", "User_ID", "User_Name", "User_Description",
        "User_Password", "Last_Update"},
       static_cast<std::size_t>(size.users()),
       [](std::size_t i) {
         const std::int64_t n = static_cast<std::int64_t>(i) + 1;
         return MasterRow(
             UserNo(n), n, "US",
             {"user" + std::to_string(n), "User " + std::to_string(n), "Clerk",
              "secret" + std::to_string(n), kLastUpdate});
       }},
      {"User_Group",
       {"User_Group_No", "User_Group_Identity", "Company_Prefix",
        "Branch_Prefix", "Document_Prefix", "User_Group_Name",
        "User_Group_Desc", "Last_Update"},
       static_cast<std::size_t>(size.groups()),
       [](std::size_t i) {
         const std::int64_t n = static_cast<std::int64_t>(i) + 1;
         return MasterRow(
             GroupNo(n), n, "UG",
             {"Group " + std::to_string(n), "Users of a desk", kLastUpdate});
       }},
      link("Access_Control_Rights", {"User_No", "Rights_No"}, data.grants,
           UserNo, RightsNo),
      link("Access_Control_Groups", {"User_No", "User_Group_No"},
           data.memberships, UserNo, GroupNo),
      link("Group_Detail", {"User_Group_No", "Rights_No"}, data.group_rights,
           GroupNo, RightsNo),
  };
}

// Draws a number in [1, n].
std::int32_t Draw(std::mt19937_64& random, std::int64_t n) {
  return static_cast<std::int32_t>(random() % static_cast<std::uint64_t>(n)) +
         1;
}

void SQLiteExec(sqlite3* database, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(database, sql.c_str(), nullptr, nullptr, &error) !=
      SQLITE_OK) {
    const std::string text = error ? error : sqlite3_errmsg(database);
    sqlite3_free(error);
    throw std::runtime_error("SQLite: " + text + " in " + sql);
  }
}

using SQLiteDatabase = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

SQLiteDatabase OpenSQLite(const std::string& path) {
  sqlite3* database = nullptr;
  const int status = sqlite3_open(path.c_str(), &database);
  SQLiteDatabase owned(database, &sqlite3_close);
  if (status != SQLITE_OK) {
    throw std::runtime_error("Cannot open " + path + ": " +
                             sqlite3_errmsg(database));
  }
  return owned;
}

// "T (a, b, ...)", as an INSERT or COPY names the table's columns.
std::string TableAndColumns(const Table& table) {
  std::string text = std::string(table.name) + " (";
  for (const char* column : table.columns) {
    if (text.back() != '(') text += ", ";
    text += column;
  }
  return text + ")";
}

void InsertRows(sqlite3* database, const Table& table) {
  std::string placeholders = "?";
  for (std::size_t c = 1; c < table.columns.size(); ++c) placeholders += ", ?";
  const std::string sql = "INSERT INTO " + TableAndColumns(table) +
                          " VALUES (" + placeholders + ")";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr) !=
      SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(database));
  }
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> owned(
      statement, &sqlite3_finalize);
  for (std::size_t i = 0; i < table.rows; ++i) {
    const std::vector<std::string> row = table.row(i);
    for (std::size_t c = 0; c < row.size(); ++c) {
      sqlite3_bind_text(statement, static_cast<int>(c) + 1, row[c].c_str(),
                        static_cast<int>(row[c].size()), SQLITE_TRANSIENT);
    }
    if (sqlite3_step(statement) != SQLITE_DONE) {
      throw std::runtime_error(sqlite3_errmsg(database));
    }
    sqlite3_reset(statement);
  }
}

using PostgreSQLConnection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

void PostgreSQLExec(PGconn* connection, const std::string& sql) {
  std::unique_ptr<PGresult, decltype(&PQclear)> result(
      PQexec(connection, sql.c_str()), &PQclear);
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK &&
      status != PGRES_COPY_IN) {
    throw std::runtime_error(
        "PostgreSQL: " + std::string(PQerrorMessage(connection)) + " in " +
        sql);
  }
}

void CopyRows(PGconn* connection, const Table& table) {
  PostgreSQLExec(connection, "COPY " + TableAndColumns(table) + " FROM STDIN");
  std::string chunk;
  const auto send = [&] {
    if (PQputCopyData(connection, chunk.data(),
                      static_cast<int>(chunk.size())) != 1) {
      throw std::runtime_error(PQerrorMessage(connection));
    }
    chunk.clear();
  };
  for (std::size_t i = 0; i < table.rows; ++i) {
    // No key or text here holds a tab, a line end or a backslash.
    for (const std::string& value : table.row(i)) {
      chunk += value;
      chunk += '\t';
    }
    chunk.back() = '\n';
    if (chunk.size() > (1 << 20)) send();
  }
  send();
  if (PQputCopyEnd(connection, nullptr) != 1) {
    throw std::runtime_error(PQerrorMessage(connection));
  }
  std::unique_ptr<PGresult, decltype(&PQclear)> result(PQgetResult(connection),
                                                       &PQclear);
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string("COPY ") + table.name + ": " +
                             PQerrorMessage(connection));
  }
  while (PGresult* rest = PQgetResult(connection)) PQclear(rest);
}

// Many rows per INSERT, each statement up to about this long: a row at a
// time, a million grants take minutes on the server.
constexpr std::size_t kInsertBytes = 1 << 20;

void InsertManyRows(MYSQL* link, const Table& table) {
  const std::string head = "INSERT INTO " + TableAndColumns(table) + " VALUES ";
  std::string sql = head;
  std::string escaped;
  for (std::size_t i = 0; i < table.rows; ++i) {
    sql += sql.size() == head.size() ? "(" : ",(";
    for (const std::string& value : table.row(i)) {
      escaped.resize(value.size() * 2 + 1);
      escaped.resize(mysql_real_escape_string(link, escaped.data(),
                                              value.data(), value.size()));
      if (sql.back() != '(') sql += ',';
      sql += '\'' + escaped + '\'';
    }
    sql += ')';
    if (sql.size() > kInsertBytes || i + 1 == table.rows) {
      testing::MariaDBExec(link, sql);
      sql = head;
    }
  }
}

}  // namespace

std::string RightsNo(std::int64_t number) {
  return "C1B1RG" + std::to_string(number);
}
std::string UserNo(std::int64_t number) {
  return "C1B1US" + std::to_string(number);
}
std::string GroupNo(std::int64_t number) {
  return "C1B1UG" + std::to_string(number);
}

Dataset Dataset::Generate(Size size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  Dataset data{size, {}, {}, {}};
  const auto fill = [&random](auto& pairs, std::int64_t count,
                              std::int64_t first, std::int64_t second) {
    pairs.reserve(count);
    for (std::int64_t i = 0; i < count; ++i) {
      const std::int32_t a = Draw(random, first);
      pairs.emplace_back(a, Draw(random, second));
    }
  };
  fill(data.grants, size.grants, size.users(), size.rights);
  fill(data.memberships, size.memberships(), size.users(), size.groups());
  fill(data.group_rights, size.group_rights(), size.groups(), size.rights);
  return data;
}

std::vector<Question> Questions(const Dataset& data, std::size_t count,
                                std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::unordered_map<std::int32_t, std::vector<std::int32_t>> group_rights;
  for (const auto& [group, right] : data.group_rights) {
    group_rights[group].push_back(right);
  }
  const auto pick = [&random](const auto& items) -> const auto& {
    return items[random() % items.size()];
  };
  std::vector<Question> questions;
  questions.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::int32_t user = Draw(random, data.size.users());
    std::int32_t right = Draw(random, data.size.rights);
    if (i % 4 == 0) {
      std::tie(user, right) = pick(data.grants);
    } else if (i % 4 == 1) {
      const auto& [member, group] = pick(data.memberships);
      const auto rights = group_rights.find(group);
      user = member;
      if (rights != group_rights.end()) right = pick(rights->second);
    }
    questions.push_back({UserNo(user), RightsNo(right)});
  }
  return questions;
}

void WriteSQLite(const Dataset& data, const std::string& path) {
  std::filesystem::remove(path);
  SQLiteDatabase database = OpenSQLite(path);
  // Loading only: nothing here needs to survive a crash.
  SQLiteExec(database.get(),
             "PRAGMA synchronous=OFF; PRAGMA cache_size=-262144; "
             "PRAGMA journal_mode=MEMORY");
  SQLiteExec(database.get(),
             testing::ReadFile(TAVIK_SOURCE_DIR "/schema/sqlite.sql"));
  SQLiteExec(database.get(), "BEGIN");
  for (const Table& table : Tables(data)) InsertRows(database.get(), table);
  SQLiteExec(database.get(), "COMMIT");
}

void CopyAsWAL(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to,
                             std::filesystem::copy_options::overwrite_existing);
  SQLiteExec(OpenSQLite(to).get(), "PRAGMA journal_mode=WAL");
}

void WritePostgreSQL(const Dataset& data, const std::string& conninfo) {
  PostgreSQLConnection connection(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(PQerrorMessage(connection.get()));
  }
  for (const Table& table : Tables(data)) CopyRows(connection.get(), table);
  PostgreSQLExec(connection.get(), "VACUUM ANALYZE");
}

void WriteMariaDB(const Dataset& data, MYSQL* link) {
  testing::MariaDBExec(link, "START TRANSACTION");
  std::string tables;
  for (const Table& table : Tables(data)) {
    InsertManyRows(link, table);
    tables += (tables.empty() ? "" : ", ") + std::string(table.name);
  }
  testing::MariaDBExec(link, "COMMIT");
  testing::MariaDBExec(link, "ANALYZE TABLE " + tables);
}

}  // namespace tavikuser::bench
