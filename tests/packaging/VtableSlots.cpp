// Classes that override every virtual operation of the two polymorphic
// interfaces. Their virtual tables keep the slots of the interface they
// derive from in its order, which vtable-slots.sh reads from the compiler's
// class-layout dump.

#include <StdException/StdException>

#include <ostream>
#include <string>

struct ExceptionSlots : Quorbel::StdException {
    ExceptionSlots() : StdException("", 0, "", "", "") {}
    ~ExceptionSlots() override {}
    ExceptionSlots* clone() const override { return nullptr; }
    std::string AsString() const override { return ""; }
    std::string AsXML() const override { return ""; }
    std::string TypeName() const override { return ""; }
    std::string DisplayValue() const override { return ""; }
};

struct StrategySlots : Quorbel::CReportingStrategy {
    ~StrategySlots() override {}
    StrategySlots* clone() const override { return nullptr; }
    void Report(const Quorbel::StdException&) override {}
    std::ostream& Print(std::ostream& os) const override { return os; }
};
