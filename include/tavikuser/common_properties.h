// The property block that the classes share. Setters store a copy of their
// argument with no check of any kind; getters return a copy; no accessor
// touches the data store or ErrDesc.
#ifndef TAVIKUSER_COMMON_PROPERTIES_H_
#define TAVIKUSER_COMMON_PROPERTIES_H_

#include <string>

#include "tavikuser/export.h"

namespace tavikuser {

namespace frame {
struct CommonState;
struct EntityState;
}  // namespace frame

// ErrDesc and the connection string: what every class has. The values live
// in the object of the class that derives from this block.
class TAVIK_EXPORT CommonProperties {
 public:
  // Write only: the connection string cannot be read back.
  void ADOConnectionString(std::string vNewConnectionString);

  // The text of the most recent failure of an operation on this object (the
  // empty text before any failure; late-bound, a text variant). No operation
  // clears it: test an operation's result first, read ErrDesc only after
  // false.
  std::string ErrDesc() const;

 protected:
  explicit CommonProperties(frame::CommonState& state) : common_(&state) {}
  CommonProperties(CommonProperties&&) noexcept = default;
  CommonProperties& operator=(CommonProperties&&) noexcept = default;
  ~CommonProperties() = default;

 private:
  frame::CommonState* common_;
};

// The block of the four entity classes: the prefixes that scope every new
// record. Each such object also owns a connection object, on which its
// transactions run, and the document number of the last record it created;
// neither can be read.
class TAVIK_EXPORT EntityProperties : public CommonProperties {
 public:
  std::string CompanyPrefix() const;
  void CompanyPrefix(std::string vNewCompanyPrefix);
  std::string BranchPrefix() const;
  void BranchPrefix(std::string vNewBranchPrefix);
  std::string DocumentPrefix() const;
  void DocumentPrefix(std::string vNewDocumentPrefix);

 protected:
  explicit EntityProperties(frame::EntityState& state);
  EntityProperties(EntityProperties&&) noexcept = default;
  EntityProperties& operator=(EntityProperties&&) noexcept = default;
  ~EntityProperties() = default;

 private:
  frame::EntityState* entity_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_COMMON_PROPERTIES_H_
