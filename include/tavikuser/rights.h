// TavikUser.Rights: the catalogue of access rights (Rights_Master).
#ifndef TAVIKUSER_RIGHTS_H_
#define TAVIKUSER_RIGHTS_H_

#include <memory>
#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One right of the catalogue. An object owns its values and its connection
// object; it may be moved, not copied. Not thread-safe: use one object per
// thread.
class TAVIK_EXPORT Rights : public EntityProperties {
 public:
  Rights();
  ~Rights();
  Rights(Rights&&) noexcept;
  Rights& operator=(Rights&&) noexcept;

  std::string RightsNo() const;
  void RightsNo(std::string vNewRightsNo);
  std::string RightsName() const;
  void RightsName(std::string vNewRightsName);
  std::string RightsParent() const;
  void RightsParent(std::string vNewRightsParent);
  DateTime LastUpdate() const;
  void LastUpdate(DateTime NewDateTime);

  // Adds a right to the catalogue under a number issued by the document
  // counter service: the record key CompanyPrefix & BranchPrefix &
  // DocumentPrefix & number, stored with its name, parent and LastUpdate in
  // one transaction with the counter. RightsNo is neither used nor set. On
  // false nothing was stored and ErrDesc says why. The object can create
  // again: each creation opens a connection object of its own.
  bool Create_Rights();

  // Rewrites name, parent and time stamp of the right whose Rights_No is
  // RightsNo, when exactly one row carries it; with none or several it writes
  // nothing and still answers true. Runs without a transaction.
  bool Update_Rights();

  // The member table of "TavikUser.Rights", in interface order.
  static const automation::ClassInfo& Class();

 private:
  struct Impl;
  explicit Rights(std::unique_ptr<Impl> impl);
  bool Validate_Rights();

  std::unique_ptr<Impl> impl_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_RIGHTS_H_
