// The built-in document counter service, "TavikSystem.CounterTransaction".
// The library reaches it only late-bound, through the class registry, so a
// host can register its own service under the same identifier.
#ifndef TAVIKUSER_PLATFORM_COUNTER_COUNTER_TRANSACTION_H_
#define TAVIKUSER_PLATFORM_COUNTER_COUNTER_TRANSACTION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/adodb/session.h"
#include "tavikuser/automation.h"
#include "tavikuser/connection.h"

namespace tavikuser::counter {

// Issues document numbers per company, branch and document prefix from the
// Document_Counter table, on the caller's connection and inside the caller's
// transaction: a number and the record it numbers commit or roll back
// together. The counter row is held for that transaction where the store can
// lock it (PostgreSQL locks the row; SQLite's transaction already holds the
// write lock), so two creators never receive the same number.
class CounterTransaction {
 public:
  void CompanyPrefix(std::string value);
  void BranchPrefix(std::string value);
  void DocumentPrefix(std::string value);

  // args[0]: the caller's open connection object, by reference. Reads the
  // last number issued for the three prefixes; true when the next one is
  // ready in NextDocumentNo. False, with ErrDesc, for a store failure or a
  // next number beyond 32 bits.
  Variant Get_Last_Counter(std::vector<Variant>& args);

  // The number ready to be issued: the last one plus one, or 1 when none was
  // issued yet.
  std::int32_t NextDocumentNo() const;

  // Stores NextDocumentNo as the last number issued. False, with ErrDesc,
  // without a successful Get_Last_Counter first, or on a store failure.
  bool Increase_Counter();

  Variant ErrDesc() const;

  static const automation::ClassInfo& Class();

 private:
  std::vector<adodb::BoundValue> PrefixValues() const;
  bool Refuse(std::string text);

  std::string company_prefix_;
  std::string branch_prefix_;
  std::string document_prefix_;
  std::optional<Connection> connection_;  // after a successful read
  bool row_exists_ = false;
  std::int32_t next_document_no_ = 0;
  std::string err_desc_;
};

}  // namespace tavikuser::counter

#endif  // TAVIKUSER_PLATFORM_COUNTER_COUNTER_TRANSACTION_H_
