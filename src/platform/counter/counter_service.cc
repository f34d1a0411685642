#include "platform/counter/counter_service.h"

#include <vector>

#include "platform/counter/counter_transaction.h"
#include "tavikuser/automation.h"

namespace tavikuser::counter {
namespace {

// A host's own service, called by member name as an automation client calls
// it.
class LateBoundCounter final : public CounterService {
 public:
  explicit LateBoundCounter(ObjectRef service) : service_(std::move(service)) {}

  void CompanyPrefix(std::string value) override {
    service_->Let("CompanyPrefix", Variant(std::move(value)));
  }
  void BranchPrefix(std::string value) override {
    service_->Let("BranchPrefix", Variant(std::move(value)));
  }
  void DocumentPrefix(std::string value) override {
    service_->Let("DocumentPrefix", Variant(std::move(value)));
  }

  bool Get_Last_Counter(Connection& connection) override {
    std::vector<Variant> by_reference{Variant(connection.AsObject())};
    const bool ready =
        service_->Call("Get_Last_Counter", by_reference).ToBool();
    connection = automation::Marshal<Connection>::From(by_reference[0]);
    return ready;
  }

  std::int32_t NextDocumentNo() const override {
    return service_->Get("NextDocumentNo").ToI4();
  }

  bool Increase_Counter() override {
    return service_->Call("Increase_Counter").ToBool();
  }

  std::string ErrDesc() const override {
    return service_->Get("ErrDesc").ToText();
  }

 private:
  ObjectRef service_;
};

}  // namespace

std::shared_ptr<CounterService> CreateCounterService() {
  ObjectRef service = automation::CreateObject(kCounterProgId);
  using BuiltIn = automation::Instance<CounterTransaction>;
  if (auto* built_in = dynamic_cast<BuiltIn*>(service.get())) {
    // Called directly; the object lives as long as the pointer to it.
    return std::shared_ptr<CounterService>(
        std::make_shared<ObjectRef>(std::move(service)), &built_in->value());
  }
  return std::make_shared<LateBoundCounter>(std::move(service));
}

}  // namespace tavikuser::counter
