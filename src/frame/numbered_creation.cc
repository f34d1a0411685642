#include "frame/numbered_creation.h"

#include <optional>
#include <vector>

#include "frame/operation.h"
#include "frame/transaction.h"
#include "tavikuser/automation.h"

namespace tavikuser::frame {
namespace {

constexpr char kCounterService[] = "TavikSystem.CounterTransaction";

}  // namespace

bool NumberedCreation::Run(EntityProperties& entity, TransactionConduct conduct,
                           std::string_view whole_table_statement,
                           const ColumnSetter& set_columns,
                           const NumberIssued& number_issued) {
  Operation operation(entity.err_desc_);
  std::optional<Connection>& connection = entity.connection_;
  return InTransaction(
      operation, connection, entity.connection_string_, conduct, [&] {
        ObjectRef counter = automation::CreateObject(kCounterService);
        counter->Let("CompanyPrefix", Variant(entity.company_prefix_));
        counter->Let("BranchPrefix", Variant(entity.branch_prefix_));
        counter->Let("DocumentPrefix", Variant(entity.document_prefix_));
        std::vector<Variant> by_reference{
            automation::Marshal<Connection>::To(*connection)};
        const bool counter_ready =
            counter->Call("Get_Last_Counter", by_reference).ToBool();
        // The service may hand back another connection object; the creation
        // goes on with whatever the argument holds now.
        connection = automation::Marshal<Connection>::From(by_reference[0]);
        if (!counter_ready) {
          return operation.Reject(counter->Get("ErrDesc").ToText());
        }

        entity.document_number_ = counter->Get("NextDocumentNo").ToI4();
        const std::string record_key =
            entity.company_prefix_ + entity.branch_prefix_ +
            entity.document_prefix_ + std::to_string(entity.document_number_);
        if (number_issued) number_issued(record_key);

        adodb::Recordset table;
        table.Open(adodb::Statement(std::string(whole_table_statement)),
                   *connection, adodb::kOpenKeyset, adodb::kLockOptimistic,
                   adodb::kOptionsUnspecified);
        table.AddNew();
        set_columns(table, record_key, entity.document_number_);
        table.Update();
        table.Close();

        if (!counter->Call("Increase_Counter").ToBool()) {
          return operation.Reject(counter->Get("ErrDesc").ToText());
        }
        return true;
      });
}

}  // namespace tavikuser::frame
