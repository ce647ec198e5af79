#include "util/Exceptions.h"

#include "util/SystemError.h"
#include "util/TextHelpers.h"

namespace ZintarUtil::Exceptions {

ExceptionBase::ExceptionBase(const std::string& message, const ExceptionBase* inner)
    : ExceptionBase(FailureKind::Unspecified, message, inner)
{
}

ExceptionBase::ExceptionBase(FailureKind kind, const std::string& message, const ExceptionBase* inner)
    : message(message), kind(kind), inner(inner != nullptr ? inner->Clone() : nullptr)
{
}

ExceptionBase::ExceptionBase(const ExceptionBase& other)
    : std::exception(other), message(other.message), kind(other.kind),
      inner(other.inner != nullptr ? other.inner->Clone() : nullptr)
{
}

ExceptionBase::~ExceptionBase() = default;

const char* ExceptionBase::what() const noexcept
{
    if (whatText.empty()) {
        try {
            whatText = GetFullMessage("\n");
        } catch (...) {
            return "ExceptionBase (text unavailable)";
        }
    }
    return whatText.c_str();
}

std::string ExceptionBase::GetMessageText() const
{
    return message;
}

ExceptionBase* ExceptionBase::Clone() const
{
    return new ExceptionBase(*this);
}

std::string ExceptionBase::GetFullMessage(const std::string& separator) const
{
    std::string text = GetMessageText();
    if (inner != nullptr) {
        text += separator;
        text += inner->GetFullMessage("\n");
    }
    return text;
}

FailureKind ExceptionBase::Kind() const
{
    if (kind != FailureKind::Unspecified || inner == nullptr)
        return kind;
    return inner->Kind();
}

ExceptionFileMapIO::ExceptionFileMapIO(const std::string& message, const ExceptionBase* inner)
    : ExceptionBase(message, inner)
{
}

ExceptionFileMapIO::ExceptionFileMapIO(const ExceptionFileMapIO& other) = default;

ExceptionFileMapIO::~ExceptionFileMapIO() = default;

ExceptionBase* ExceptionFileMapIO::Clone() const
{
    return new ExceptionFileMapIO(*this);
}

ExceptionWindows::ExceptionWindows(const std::string& message, const ExceptionBase* inner, std::uint32_t errorCode)
    : ExceptionWindows(FailureKind::Unspecified, message, inner, errorCode)
{
}

ExceptionWindows::ExceptionWindows(FailureKind kind, const std::string& message, const ExceptionBase* inner,
                                   std::uint32_t errorCode)
    : ExceptionBase(kind, message, inner), errorCode(errorCode)
{
    // The last error must be read before anything else could change it; building the base
    // part only copies text, which leaves the thread's last error alone.
    std::uint32_t lastError = LastSystemError();
    if (errorCode == 0)
        this->errorCode = lastError;
}

ExceptionWindows::ExceptionWindows(const ExceptionWindows& other) = default;

ExceptionWindows::~ExceptionWindows() = default;

std::string ExceptionWindows::GetMessageText() const
{
    return message + " - Error code : " + UIntToString(errorCode) + " - " + SystemErrorText(errorCode);
}

ExceptionBase* ExceptionWindows::Clone() const
{
    return new ExceptionWindows(*this);
}

}  // namespace ZintarUtil::Exceptions
