// The numbered creation of a master record: a number from the document
// counter service and the row it numbers, in one transaction on the entity's
// connection object, committed or rolled back together.
#ifndef TAVIKUSER_FRAME_NUMBERED_CREATION_H_
#define TAVIKUSER_FRAME_NUMBERED_CREATION_H_

#include <cstdint>
#include <functional>
#include <string>

#include "frame/state.h"
#include "frame/transaction.h"
#include "platform/store/store.h"

namespace tavikuser::frame {

// The record being created: its key, CompanyPrefix & BranchPrefix &
// DocumentPrefix & the document number in decimal, and that number.
struct NewRecord {
  std::string key;
  std::int32_t number;
};

// Runs the creation for `entity`, whose validation has passed: the counter
// service issues the number, `number_issued` (if any) is told the record key
// at once, `append_row` stores the row on the transaction's connection, and
// the counter moves on. Returns the result; ErrDesc holds the failure's or
// the counter service's text on false. Throws CallError when a rollback
// ending itself fails.
bool CreateNumbered(
    EntityState& entity, TransactionConduct conduct,
    const std::function<void(store::Connection& db, const NewRecord& record)>&
        append_row,
    const std::function<void(const std::string& key)>& number_issued = nullptr);

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_NUMBERED_CREATION_H_
