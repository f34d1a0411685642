#include "platform/counter/counter_transaction.h"

#include <charconv>
#include <limits>

#include "platform/store/connection_object.h"

namespace tavikuser::counter {
namespace {

// Last_No as the store keeps it, when it is a whole number (also as text,
// since a host may keep the column as text); nothing otherwise.
std::optional<std::int64_t> WholeNumber(const store::Value& value) {
  if (const std::int64_t* whole = value.integer()) return *whole;
  if (const std::string* text = value.text()) {
    std::int64_t whole;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, whole);
    if (error == std::errc() && stop == end && !text->empty()) return whole;
  }
  return std::nullopt;
}

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

bool CounterTransaction::Refuse(std::string text) {
  err_desc_ = std::move(text);
  return false;
}

bool CounterTransaction::Get_Last_Counter(Connection& connection) {
  connection_.reset();
  try {
    const std::optional<store::Value> stored =
        store::ConnectionObject::Of(connection)
            .Opened()
            .LockCounter(company_prefix_, branch_prefix_, document_prefix_);
    row_exists_ = stored.has_value();
    std::int64_t last_no = 0;
    if (stored) {
      const std::optional<std::int64_t> whole = WholeNumber(*stored);
      if (!whole) {
        return Refuse("The counter of " + company_prefix_ + branch_prefix_ +
                      document_prefix_ + " holds " +
                      (stored->is_null() ? "Null" : stored->ToText()) +
                      ", which is not a whole number; no number was issued.");
      }
      last_no = *whole;
    }
    if (last_no < 0 || last_no >= std::numeric_limits<std::int32_t>::max()) {
      return Refuse("The next document number after " +
                    std::to_string(last_no) + " does not fit in 32 bits.");
    }
    next_document_no_ = static_cast<std::int32_t>(last_no + 1);
    connection_ = connection;
    return true;
  } catch (const Error& failure) {
    return Refuse(failure.what());
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
    store::Connection& db = store::ConnectionObject::Of(*connection_).Opened();
    if (row_exists_) {
      const std::int64_t changed = db.Execute(
          "UPDATE Document_Counter SET Last_No = ? WHERE Company_Prefix = ? "
          "AND Branch_Prefix = ? AND Document_Prefix = ?",
          {next_document_no_, company_prefix_, branch_prefix_,
           document_prefix_});
      if (changed != 1) {
        return Refuse("The counter row of " + company_prefix_ + branch_prefix_ +
                      document_prefix_ +
                      " was removed during the transaction.");
      }
    } else {
      db.Execute(
          "INSERT INTO Document_Counter (Company_Prefix, Branch_Prefix, "
          "Document_Prefix, Last_No) VALUES (?, ?, ?, ?)",
          {company_prefix_, branch_prefix_, document_prefix_,
           next_document_no_});
    }
    // The next call issues the following number only after a fresh read.
    connection_.reset();
    return true;
  } catch (const Error& failure) {
    return Refuse(failure.what());
  }
}

std::string CounterTransaction::ErrDesc() const { return err_desc_; }

Variant CounterTransaction::GetLastCounterByReference(
    std::vector<Variant>& args) {
  Connection connection = automation::Marshal<Connection>::From(args.at(0));
  return Variant(Get_Last_Counter(connection));
}

const automation::ClassInfo& CounterTransaction::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<CounterTransaction>(kCounterProgId)
          .Let("CompanyPrefix", &CounterTransaction::CompanyPrefix)
          .Let("BranchPrefix", &CounterTransaction::BranchPrefix)
          .Let("DocumentPrefix", &CounterTransaction::DocumentPrefix)
          .ByRefFunction("Get_Last_Counter", VarType::kBool, 1,
                         &CounterTransaction::GetLastCounterByReference)
          .Get("NextDocumentNo", &CounterTransaction::NextDocumentNo)
          .Function("Increase_Counter", &CounterTransaction::Increase_Counter)
          .Get("ErrDesc", &CounterTransaction::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser::counter
