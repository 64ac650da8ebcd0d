// The exception record, its call trace and the three exception kinds.

#include "StdException"
#include "Guard"
#include "Demangle.h"
#include "Numbers.h"
#include "Record.h"
#include "TextStream.h"

#include <filesystem>
#include <future>
#include <new>
#include <stdexcept>
#include <system_error>
#include <typeinfo>
#include <utility>

namespace Quorbel {

namespace {

// The level that the public constructor gives new records.
DetailLevel defaultDetailLevel = FullDetail;

// Writes the description of an operation's five origin-like arguments, up to
// the comment's closing parenthesis, which the caller adds with whatever follows.
std::ostream& WriteArguments(std::ostream& text, const std::string& file, std::uint32_t line,
                             const std::string& funcsig, const std::string& parameters,
                             const std::string& comment) {
    return text << "file(" << file << ") line(" << Decimal{line} << ") funcsig(" << funcsig
                << ") parameters(" << parameters << ") comment(" << comment;
}

// The description that a guard records when a guarded step of a constructor
// or of AddToCallTrace fails.
std::string DescribeArguments(const std::string& file, std::uint32_t line,
                              const std::string& funcsig, const std::string& parameters,
                              const std::string& comment) {
    TextStream text;
    WriteArguments(text, file, line, funcsig, parameters, comment) << ")";
    return text.Take();
}

// The description of a copy constructor's source: its whole text report.
std::string DescribeSource(const StdException& e) {
    TextStream text;
    text << "e(" << e << ")";
    return text.Take();
}

}  // namespace

std::string ReadableTypeName(const std::type_info& type) {
    std::string name = Demangled(type.name());
    return name.empty() ? type.name() : name;
}

// ---- StdException -------------------------------------------------------

StdException::StdException(const std::string& file, std::uint32_t line, const std::string& funcsig,
                           const std::string& parameters, const std::string& comment)
    : detailLevel(defaultDetailLevel) {
    QUORBEL_TRY {
        // The description is composed only if a guarded step fails.
        callTrace.reset(new CallTrace);
        AddToCallTrace(file, line, funcsig, parameters, comment);
    }
    QUORBEL_CATCH(DescribeArguments(file, line, funcsig, parameters, comment),
                  "Cleaning up in StdException constructor")
}

StdException::StdException(const StdException& e) : detailLevel(e.detailLevel) {
    // The description, the source's whole text report, is composed before
    // anything is copied: a source that cannot be rendered cannot be copied,
    // and what its rendering raised reaches the caller as operator<< let it out.
    const std::string description = DescribeSource(e);
    // Each part is handed to its field as soon as it exists, so the clean-up
    // finds nothing pending unless a hand-over itself is interrupted.
    OwnedPtr<CallTrace> pendingTrace;
    OwnedPtr<StdException> pendingPrevious;
    QUORBEL_GUARD_WITH_CLEANUP(
        description, "Cleaning up in copy constructor",
        [&] {
            pendingTrace.reset(new CallTrace);
            callTrace.reset(pendingTrace.release());
            if (e.previousException.get() != nullptr) {
                pendingPrevious.reset(e.previousException->clone());
                previousException.reset(pendingPrevious.release());
            }
            for (CallTrace::const_reverse_iterator entry = e.callTrace->rbegin();
                 entry != e.callTrace->rend(); ++entry)
                AddToCallTrace(entry->file, entry->line, entry->funcsig, entry->parameters,
                               entry->comment);
        },
        [&] {
            pendingTrace.reset();
            pendingPrevious.reset();
        });
    RecordAccess::CopyExtras(*this, e);
}

StdException& StdException::operator=(const StdException& e) {
    if (&e == this) return *this;
    callTrace.reset(new CallTrace(*e.callTrace));
    reportingStrategy.reset(e.reportingStrategy.get() != nullptr ? e.reportingStrategy->clone()
                                                                 : nullptr);
    previousException.reset(e.previousException.get() != nullptr ? e.previousException->clone()
                                                                 : nullptr);
    detailLevel = e.detailLevel;
    RecordAccess::CopyExtras(*this, e);
    return *this;
}

StdException::~StdException() {
    try {
        if (callTrace.get() != nullptr) callTrace->clear();
    } catch (...) {
        // Releasing entries must never stop the release of the rest.
    }
    previousException.reset();
    reportingStrategy.reset();
    callTrace.reset();
    extras.reset();
}

void StdException::AddToCallTrace(const std::string& file, std::uint32_t line,
                                  const std::string& funcsig, const std::string& parameters,
                                  const std::string& comment) {
    QUORBEL_TRY {
        // The strings are copied once, into a temporary that the list node takes over.
        callTrace->push_front(CallTraceEntry{file, line, funcsig, parameters, comment});
    }
    QUORBEL_CATCH(DescribeArguments(file, line, funcsig, parameters, comment), "")
}

void StdException::AddPreviousException(const StdException* previous) {
    if (previous == nullptr) return;
    previousException.reset(previous->clone());
    previousException->SetDetailLevel(detailLevel);
}

DetailLevel StdException::GetDetailLevel() const { return detailLevel; }

const StdException::CallTrace& StdException::GetCallTrace() const { return *callTrace; }

const StdException* StdException::GetPreviousException() const { return previousException.get(); }

void StdException::SetDetailLevel(DetailLevel level) {
    for (StdException* record = this; record != nullptr; record = record->previousException.get())
        record->detailLevel = level;
}

void StdException::SetDefaultDetailLevel(DetailLevel level) { defaultDetailLevel = level; }

std::string StdException::TypeName() const { return "StdException"; }

std::string StdException::DisplayValue() const { return "StdException"; }

// ---- Fields -------------------------------------------------------------

void StdException::SetField(const std::string& key, const FieldValue& value) {
    QUORBEL_TRY {
        // The value is copied before anything changes, and the slot takes it
        // over without allocating: a failing SetField leaves the fields as
        // they were.
        FieldValue copy(value);
        RecordExtras::Fields& fields = RecordAccess::Extras(*this).fields;
        for (std::pair<std::string, FieldValue>& field : fields)
            if (field.first == key) {
                field.second = std::move(copy);
                return;
            }
        fields.emplace_back(key, std::move(copy));
    }
    QUORBEL_CATCH([&] { return "key(" + key + ")"; }, "")
}

const FieldValue* StdException::GetField(const std::string& key) const {
    if (extras.get() != nullptr)
        for (const std::pair<std::string, FieldValue>& field : extras->fields)
            if (field.first == key) return &field.second;
    return nullptr;
}

void StdException::ForEachField(
    const std::function<void(const std::string& key, const FieldValue& value)>& visit) const {
    if (extras.get() != nullptr)
        for (const std::pair<std::string, FieldValue>& field : extras->fields)
            visit(field.first, field.second);
}

// ---- UnexpectedException ------------------------------------------------

UnexpectedException::UnexpectedException(const std::string& file, std::uint32_t line,
                                         const std::string& funcsig, const std::string& parameters,
                                         const std::string& comment)
    : StdException(file, line, funcsig, parameters, comment) {}

UnexpectedException::UnexpectedException(const UnexpectedException& e) : StdException(e) {}

UnexpectedException& UnexpectedException::operator=(const UnexpectedException& e) {
    if (&e != this) StdException::operator=(e);
    return *this;
}

UnexpectedException::~UnexpectedException() {}

UnexpectedException* UnexpectedException::clone() const {
    return QUORBEL_GUARD("", "", [&] { return new UnexpectedException(*this); });
}

std::string UnexpectedException::TypeName() const { return "UnexpectedException"; }

std::string UnexpectedException::DisplayValue() const {
    return "An unexpected exception was caught in our exception handler.";
}

// ---- CPPException -------------------------------------------------------

CPPException::CPPException(const std::string& file, std::uint32_t line, const std::string& funcsig,
                           const std::string& parameters, const std::string& comment,
                           const std::exception& e)
    : StdException(file, line, funcsig, parameters, comment),
      message(e.what()),
      typeName(ReadableTypeName(typeid(e))) {
    // The frames of e's throw, when e is a thrown object whose throw was captured.
    TakeThrowSite(*this, dynamic_cast<const void*>(&e), false);
    // What the error carries besides its message, as data. The kinds that
    // carry nothing besides and are translated most often are known by the
    // address of their type information alone, which spares them two failing
    // casts; another kind costs those casts.
    const std::type_info* const type = &typeid(e);
    for (const std::type_info* plain :
         {&typeid(std::runtime_error), &typeid(std::invalid_argument), &typeid(std::out_of_range),
          &typeid(std::logic_error), &typeid(std::length_error), &typeid(std::bad_alloc)})
        if (type == plain) return;
    const std::error_code* code = nullptr;
    const std::filesystem::filesystem_error* fs = nullptr;
    if (const std::system_error* system = dynamic_cast<const std::system_error*>(&e)) {
        code = &system->code();
        fs = dynamic_cast<const std::filesystem::filesystem_error*>(system);
    } else if (const std::future_error* future = dynamic_cast<const std::future_error*>(&e)) {
        code = &future->code();
    }
    if (code == nullptr) return;
    SetField("errorCode", code->value());
    SetField("errorCategory", code->category().name());
    if (fs != nullptr && !fs->path1().empty()) SetField("path1", fs->path1().string());
    if (fs != nullptr && !fs->path2().empty()) SetField("path2", fs->path2().string());
}

CPPException::CPPException(const CPPException& e)
    : StdException(e), message(e.message), typeName(e.typeName) {}

CPPException& CPPException::operator=(const CPPException& e) {
    if (&e != this) {
        StdException::operator=(e);
        message = e.message;
        typeName = e.typeName;
    }
    return *this;
}

CPPException::~CPPException() {}

CPPException* CPPException::clone() const {
    return QUORBEL_GUARD("", "", [&] { return new CPPException(*this); });
}

std::string CPPException::TypeName() const { return "CPPException"; }

std::string CPPException::DisplayValue() const { return typeName + "\r\n" + message; }

const std::string& CPPException::GetOriginalTypeName() const { return typeName; }

const std::string& CPPException::GetOriginalMessage() const { return message; }

// ---- BadHandlerException ------------------------------------------------

BadHandlerException::BadHandlerException(const std::string& file, std::uint32_t line,
                                         const std::string& funcsig, const std::string& parameters,
                                         const std::string& comment,
                                         StdException* originalException,
                                         StdException* handlerException)
    : StdException(file, line, funcsig, parameters, comment) {
    if (originalException == nullptr || handlerException == nullptr) {
        const std::invalid_argument missing(
            std::string("BadHandlerException needs two exceptions, but ") +
            (originalException == nullptr ? "originalException" : "handlerException") + " is null");
        QUORBEL_THROW(CPPException, "", "", missing);
    }
    TextStream text;
    WriteArguments(text, file, line, funcsig, parameters, comment)
        << ") originalException(" << *originalException << ") handlerException("
        << *handlerException << ")";
    const std::string description = text.Take();
    HoldClones(
        QUORBEL_HERE, [&] { return description; }, *originalException, *handlerException);
}

BadHandlerException::BadHandlerException(const BadHandlerException& e) : StdException(e) {
    const std::string description = DescribeSource(e);
    HoldClones(
        QUORBEL_HERE, [&] { return description; }, *e.originalException.get(),
        *e.handlerException.get());
}

void BadHandlerException::HoldClones(const Place& at,
                                     const std::function<std::string()>& description,
                                     const StdException& original, const StdException& handler) {
    OwnedPtr<StdException> pendingOriginal;
    OwnedPtr<StdException> pendingHandler;
    TraceGuardWithCleanUp(
        at, description, "",
        [&] {
            pendingOriginal.reset(original.clone());
            originalException.reset(pendingOriginal.release());
            pendingHandler.reset(handler.clone());
            handlerException.reset(pendingHandler.release());

            originalException->SetDetailLevel(GetDetailLevel());
            handlerException->SetDetailLevel(GetDetailLevel());

            // The held exceptions report through the module default unless
            // this exception has a strategy of its own.
            const CReportingStrategy* strategy = GetReportingStrategy();
            if (strategy == GetDefaultReportingStrategy()) strategy = nullptr;
            originalException->SetReportingStrategy(strategy);
            handlerException->SetReportingStrategy(strategy);
        },
        [&] {
            pendingOriginal.reset();
            pendingHandler.reset();
        });
}

BadHandlerException& BadHandlerException::operator=(const BadHandlerException& e) {
    if (&e == this) return *this;
    StdException::operator=(e);
    originalException.reset(e.originalException->clone());
    handlerException.reset(e.handlerException->clone());
    return *this;
}

BadHandlerException::~BadHandlerException() {
    handlerException.reset();
    originalException.reset();
}

BadHandlerException* BadHandlerException::clone() const {
    return QUORBEL_GUARD("", "", [&] { return new BadHandlerException(*this); });
}

std::string BadHandlerException::TypeName() const { return "BadHandlerException"; }

const StdException* BadHandlerException::GetOriginalException() const {
    return originalException.get();
}

const StdException* BadHandlerException::GetHandlerException() const {
    return handlerException.get();
}

std::string BadHandlerException::DisplayValue() const {
    return "A " + handlerException->TypeName() + " was caught while handling a " +
           originalException->TypeName() + " exception.";
}

}  // namespace Quorbel
