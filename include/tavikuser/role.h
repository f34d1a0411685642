// TavikUser.Role: named bundles of rights (Role_Master).
#ifndef TAVIKUSER_ROLE_H_
#define TAVIKUSER_ROLE_H_

#include <memory>
#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One role. An object owns its values and its connection object; it may be
// moved, not copied. Not thread-safe: use one object per thread.
class TAVIK_EXPORT Role : public EntityProperties {
 public:
  Role();
  ~Role();
  Role(Role&&) noexcept;
  Role& operator=(Role&&) noexcept;

  // Write only: the Role_No that the update and deletion act on.
  void RoleNumber(std::string vNewRoleNo);
  std::string RoleName() const;
  void RoleName(std::string vNewRoleName);

  // Each operation runs in a transaction on the object's connection object
  // and closes the connection at its end, whatever the ending, keeping the
  // object: one Role object serves any number of operations in a row. On
  // false ErrDesc says why and the transaction was rolled back.

  // Adds a role under a number issued by the document counter service: the
  // record key CompanyPrefix & BranchPrefix & DocumentPrefix & number, with
  // RoleName. The key is not handed back.
  bool Create_Role();

  // Renames the first role whose Role_No is RoleNumber; fails with the
  // data-access layer's no-current-row text when there is none.
  bool Update_Role();

  // Deletes the role RoleNumber with its Role_Detail and Access_Control rows,
  // all or none. A number that no row carries deletes nothing and is true.
  bool Delete_Role();

  // The member table of "TavikUser.Role", in interface order.
  static const automation::ClassInfo& Class();

 private:
  struct Impl;
  explicit Role(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_ROLE_H_
