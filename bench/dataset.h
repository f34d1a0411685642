// The benchmark's data: a host's access tables at a given size, drawn from a
// seed so that every run sees the same rows, written into an SQLite file, a
// PostgreSQL database and a MariaDB database alike.
#ifndef TAVIKUSER_BENCH_DATASET_H_
#define TAVIKUSER_BENCH_DATASET_H_

#include <mysql.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavikuser::bench {

// How many rows each table holds. Everything but the rights catalogue
// follows the number of direct grants, in the proportions of a large
// installation: 1,000,000 grants go with 100,000 users, 2,000 groups,
// 50,000 group rights and 300,000 memberships.
struct Size {
  std::int64_t grants;
  std::int64_t rights;

  std::int64_t users() const { return grants / 10; }
  std::int64_t groups() const { return grants / 500; }
  std::int64_t group_rights() const { return grants / 20; }
  std::int64_t memberships() const { return grants * 3 / 10; }
};

// Record keys as numbered creation issues them: company, branch and document
// prefixes, then the number.
std::string RightsNo(std::int64_t number);
std::string UserNo(std::int64_t number);
std::string GroupNo(std::int64_t number);

// The rows, as numbers that the key functions above turn into keys.
// Pairs may repeat, as they do in hosts' tables.
struct Dataset {
  Size size;
  std::vector<std::pair<std::int32_t, std::int32_t>> grants;  // user, right
  std::vector<std::pair<std::int32_t, std::int32_t>>
      memberships;  // user, group
  std::vector<std::pair<std::int32_t, std::int32_t>>
      group_rights;  // group, right

  static Dataset Generate(Size size, std::uint64_t seed);
};

// One access check to make.
struct Question {
  std::string user_no;
  std::string rights_no;
};

// `count` checks drawn from `seed`: a quarter asks for a right held directly,
// a quarter for one held through a group, half for a user and a right drawn
// at random, which are almost always refused.
std::vector<Question> Questions(const Dataset& data, std::size_t count,
                                std::uint64_t seed);

// Writes the host tables (schema/sqlite.sql) and the rows into a new SQLite
// file at `path`, in the default rollback-journal mode.
void WriteSQLite(const Dataset& data, const std::string& path);
// Copies an SQLite file and switches the copy to write-ahead logging, which
// the file keeps for every connection that opens it.
void CopyAsWAL(const std::string& from, const std::string& to);
// Writes the rows into a PostgreSQL database that has the host tables, then
// lets the server gather its statistics as its autovacuum would.
void WritePostgreSQL(const Dataset& data, const std::string& conninfo);
// Writes the rows into a MariaDB database that has the host tables, many
// rows per statement in one transaction, then has the server gather its
// statistics.
void WriteMariaDB(const Dataset& data, MYSQL* link);

}  // namespace tavikuser::bench

#endif  // TAVIKUSER_BENCH_DATASET_H_
