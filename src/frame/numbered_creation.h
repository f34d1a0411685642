// The numbered creation of a master record: a number from the document
// counter service and the row it numbers, in one transaction on the entity's
// connection object, committed or rolled back together.
#ifndef TAVIKUSER_FRAME_NUMBERED_CREATION_H_
#define TAVIKUSER_FRAME_NUMBERED_CREATION_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "frame/transaction.h"
#include "platform/adodb/recordset.h"
#include "tavikuser/common_properties.h"

namespace tavikuser::frame {

class NumberedCreation {
 public:
  // Sets the new row's columns in the class's own order, given the record
  // key and the document number.
  using ColumnSetter =
      std::function<void(adodb::Recordset& row, const std::string& record_key,
                         std::int32_t document_number)>;
  // Told the record key as soon as the number is issued, before the row is
  // stored.
  using NumberIssued = std::function<void(const std::string& record_key)>;

  // Runs the creation for `entity`, whose validation has passed, in a
  // transaction on its connection object conducted as the class does,
  // appending the row through `whole_table_statement`; returns its result.
  // ErrDesc holds the failure's or the counter service's text on false. Throws
  // CallError when a rollback ending itself fails.
  static bool Run(EntityProperties& entity, TransactionConduct conduct,
                  std::string_view whole_table_statement,
                  const ColumnSetter& set_columns,
                  const NumberIssued& number_issued = nullptr);
};

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_NUMBERED_CREATION_H_
