// The built-in document counter service, "TavikSystem.CounterTransaction".
#ifndef TAVIKUSER_PLATFORM_COUNTER_COUNTER_TRANSACTION_H_
#define TAVIKUSER_PLATFORM_COUNTER_COUNTER_TRANSACTION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/counter/counter_service.h"
#include "tavikuser/automation.h"

namespace tavikuser::counter {

// Issues document numbers per company, branch and document prefix from the
// Document_Counter table, on the caller's connection and inside the caller's
// transaction: a number and the record it numbers commit or roll back
// together. The store holds the counter row for that transaction (a row lock
// on a server, the write lock on SQLite), so two creators never receive the
// same number.
class CounterTransaction final : public CounterService {
 public:
  void CompanyPrefix(std::string value) override;
  void BranchPrefix(std::string value) override;
  void DocumentPrefix(std::string value) override;

  // Reads the last number issued for the three prefixes; true when the next
  // one is ready. False, with ErrDesc, for a store failure, or for a
  // Last_No that is no whole number or whose next number exceeds 32 bits
  // (issuing anyway could repeat a key that is already there).
  bool Get_Last_Counter(Connection& connection) override;

  // The last number plus one, or 1 when none was issued yet.
  std::int32_t NextDocumentNo() const override;

  // Stores NextDocumentNo as the last number issued. False, with ErrDesc,
  // without a successful Get_Last_Counter first, or on a store failure.
  bool Increase_Counter() override;

  std::string ErrDesc() const override;

  // The member table: Get_Last_Counter takes its connection object by
  // reference, as a variant that it may replace.
  static const automation::ClassInfo& Class();

 private:
  Variant GetLastCounterByReference(std::vector<Variant>& args);
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
