#include "platform/counter/counter_transaction.h"

#include <charconv>
#include <limits>

#include "platform/adodb/connection_state.h"

namespace tavikuser::counter {
namespace {

// Values are bound by position, so each statement names its placeholders in
// the order of its values.
constexpr char kSelectLastNo[] =
    "SELECT Last_No FROM Document_Counter WHERE Company_Prefix = :p1 AND "
    "Branch_Prefix = :p2 AND Document_Prefix = :p3";
constexpr char kInsertCounter[] =
    "INSERT INTO Document_Counter (Company_Prefix, Branch_Prefix, "
    "Document_Prefix, Last_No) VALUES (:p1, :p2, :p3, :p4)";
// PostgreSQL makes sure the row exists, locks it and reads it in one
// statement. Two creators that find no row must not both insert one: the
// first to insert makes the second wait for its transaction, and the row
// lock then queues every later creator behind it.
constexpr char kLockLastNo[] =
    "INSERT INTO Document_Counter (Company_Prefix, Branch_Prefix, "
    "Document_Prefix, Last_No) VALUES (:p1, :p2, :p3, 0) ON CONFLICT "
    "(Company_Prefix, Branch_Prefix, Document_Prefix) DO UPDATE SET Last_No "
    "= Document_Counter.Last_No RETURNING Last_No";
constexpr char kUpdateLastNo[] =
    "UPDATE Document_Counter SET Last_No = :p1 WHERE Company_Prefix = :p2 "
    "AND Branch_Prefix = :p3 AND Document_Prefix = :p4";

}  // namespace

void CounterTransaction::CompanyPrefix(std::string value) {
  company_prefix_ = std::move(value);
}
void CounterTransaction::BranchPrefix(std::string value) {
  branch_prefix_ = std::move(value);
}
void CounterTransaction::DocumentPrefix(std::string value) {
  document_prefix_ = std::move(value);
}

std::vector<adodb::BoundValue> CounterTransaction::PrefixValues() const {
  return {company_prefix_, branch_prefix_, document_prefix_};
}

bool CounterTransaction::Refuse(std::string text) {
  err_desc_ = std::move(text);
  return false;
}

Variant CounterTransaction::Get_Last_Counter(std::vector<Variant>& args) {
  connection_.reset();
  try {
    const Connection connection =
        automation::Marshal<Connection>::From(args.at(0));
    adodb::Session& session = connection.internals().OpenSession();
    const adodb::ResultSet counter = session.Query(
        session.provider() == adodb::Provider::kPostgreSQL ? kLockLastNo
                                                           : kSelectLastNo,
        PrefixValues());
    long long last_no = 0;
    row_exists_ = !counter.rows.empty();
    if (row_exists_ && counter.rows[0][0]) {
      const std::string& text = *counter.rows[0][0];
      std::from_chars(text.data(), text.data() + text.size(), last_no);
    }
    if (last_no >= std::numeric_limits<std::int32_t>::max() || last_no < 0) {
      return Variant(Refuse("The next document number after " +
                            std::to_string(last_no) +
                            " does not fit in 32 bits."));
    }
    next_document_no_ = static_cast<std::int32_t>(last_no + 1);
    connection_ = connection;
    return Variant(true);
  } catch (const Error& failure) {
    return Variant(Refuse(failure.what()));
  }
}

std::int32_t CounterTransaction::NextDocumentNo() const {
  return next_document_no_;
}

bool CounterTransaction::Increase_Counter() {
  if (!connection_) {
    return Refuse(
        "Increase_Counter needs a successful Get_Last_Counter first.");
  }
  try {
    const std::string next = std::to_string(next_document_no_);
    std::vector<adodb::BoundValue> values = PrefixValues();
    adodb::Session& session = connection_->internals().OpenSession();
    if (row_exists_) {
      values.insert(values.begin(), next);
      if (session.Execute(kUpdateLastNo, values) != 1) {
        return Refuse("The counter row of " + company_prefix_ + branch_prefix_ +
                      document_prefix_ +
                      " was removed during the transaction.");
      }
    } else {
      values.push_back(next);
      session.Execute(kInsertCounter, values);
    }
    // The next call issues the following number only after a fresh read.
    connection_.reset();
    return true;
  } catch (const Error& failure) {
    return Refuse(failure.what());
  }
}

Variant CounterTransaction::ErrDesc() const { return Variant(err_desc_); }

const automation::ClassInfo& CounterTransaction::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<CounterTransaction>(
          "TavikSystem.CounterTransaction")
          .Let("CompanyPrefix", &CounterTransaction::CompanyPrefix)
          .Let("BranchPrefix", &CounterTransaction::BranchPrefix)
          .Let("DocumentPrefix", &CounterTransaction::DocumentPrefix)
          .ByRefFunction("Get_Last_Counter", VarType::kBool, 1,
                         &CounterTransaction::Get_Last_Counter)
          .Get("NextDocumentNo", &CounterTransaction::NextDocumentNo)
          .Function("Increase_Counter", &CounterTransaction::Increase_Counter)
          .Get("ErrDesc", &CounterTransaction::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser::counter
