// The property block that the classes share. Setters store a copy of their
// argument with no check of any kind; getters return a copy; no accessor
// touches the data store or ErrDesc.
#ifndef TAVIKUSER_COMMON_PROPERTIES_H_
#define TAVIKUSER_COMMON_PROPERTIES_H_

#include <cstdint>
#include <optional>
#include <string>

#include "tavikuser/connection.h"
#include "tavikuser/export.h"
#include "tavikuser/variant.h"

namespace tavikuser {

namespace adodb {
class Recordset;
}
namespace frame {
class NumberedCreation;
class Operation;
}  // namespace frame

// ErrDesc and the connection string: what every class has.
class TAVIK_EXPORT CommonProperties {
 public:
  // Write only: the connection string cannot be read back.
  void ADOConnectionString(std::string vNewConnectionString);

  // The text of the most recent failure of an operation on this object, as a
  // text variant (the empty text before any failure). No operation clears
  // it: test an operation's result first, read ErrDesc only after false.
  Variant ErrDesc() const;

 protected:
  CommonProperties() = default;
  ~CommonProperties() = default;

  std::string err_desc_;
  std::string connection_string_;
};

// The block of the four entity classes: the prefixes that scope every new
// record, the connection object their transactions run on, and the document
// number of the last record the object created.
class TAVIK_EXPORT EntityProperties : public CommonProperties {
 public:
  std::string CompanyPrefix() const;
  void CompanyPrefix(std::string vNewCompanyPrefix);
  std::string BranchPrefix() const;
  void BranchPrefix(std::string vNewBranchPrefix);
  std::string DocumentPrefix() const;
  void DocumentPrefix(std::string vNewDocumentPrefix);

 protected:
  friend class frame::NumberedCreation;

  // Creates the connection object, closed; touches no store.
  EntityProperties();
  ~EntityProperties() = default;

  // The checks of the three prefixes that every creation makes, in their
  // order: false after storing the first failing one's message.
  bool ValidatePrefixes(frame::Operation& validation) const;
  // Writes the three prefix columns of a new row, in their order.
  void CollectPrefixes(adodb::Recordset& row) const;

  std::string company_prefix_;
  std::string branch_prefix_;
  std::string document_prefix_;
  // Absent once an operation has released it.
  std::optional<Connection> connection_;
  std::int32_t document_number_ = 0;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_COMMON_PROPERTIES_H_
