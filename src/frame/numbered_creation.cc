#include "frame/numbered_creation.h"

#include "platform/counter/counter_service.h"
#include "platform/store/connection_object.h"

namespace tavikuser::frame {

bool CreateNumbered(
    EntityState& entity, TransactionConduct conduct,
    const std::function<void(store::Connection&, const NewRecord&)>& append_row,
    const std::function<void(const std::string&)>& number_issued) {
  Operation operation(entity.err_desc);
  return InTransaction(entity, conduct, operation, [&] {
    const std::shared_ptr<counter::CounterService> counter =
        counter::CreateCounterService();
    counter->CompanyPrefix(entity.company_prefix);
    counter->BranchPrefix(entity.branch_prefix);
    counter->DocumentPrefix(entity.document_prefix);
    // The service may hand back another connection object; the creation
    // goes on with whatever it left there.
    if (!counter->Get_Last_Counter(*entity.connection)) {
      return operation.Reject(counter->ErrDesc());
    }

    entity.document_number = counter->NextDocumentNo();
    const NewRecord record{entity.company_prefix + entity.branch_prefix +
                               entity.document_prefix +
                               std::to_string(entity.document_number),
                           entity.document_number};
    if (number_issued) number_issued(record.key);
    append_row(store::ConnectionObject::Of(*entity.connection).Opened(),
               record);

    if (!counter->Increase_Counter()) {
      return operation.Reject(counter->ErrDesc());
    }
    return true;
  });
}

}  // namespace tavikuser::frame
