// The three exception classes through which the library and the service report every failure.
// An exception may carry a private copy of the exception that caused it, so the top levels can
// print the whole chain, outermost text first. An exception may also say what kind of failure it
// reports, so that a program can choose what to tell the user by the kind rather than by the text,
// which stays free to be reworded.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace ZintarUtil::Exceptions {

// The failures a user can do something about, each set where it is known; most failures are of
// no particular kind.
enum class FailureKind {
    Unspecified,
    ServiceUnreachable,  // the service's pipes did not answer: it is not running, or stayed busy
    NeedsAdministrator,  // the service refused a change because the caller is no administrator
    LogNotShared,        // the service does not share its log file (it shares it only while it runs)
};

class ExceptionBase : public std::exception {
public:
    explicit ExceptionBase(const std::string& message, const ExceptionBase* inner = nullptr);
    ExceptionBase(FailureKind kind, const std::string& message, const ExceptionBase* inner = nullptr);
    ExceptionBase(const ExceptionBase& other);
    ExceptionBase& operator=(const ExceptionBase&) = delete;
    ~ExceptionBase() override;

    // The full chain as GetFullMessage("\n") gives it; composed on first use and kept, so the
    // pointer stays valid for the lifetime of the exception.
    const char* what() const noexcept override;

    virtual std::string GetMessageText() const;
    virtual ExceptionBase* Clone() const;

    // This exception's text, then, when there is a cause, `separator` and the cause's full
    // chain (whose own links are always joined by "\n").
    std::string GetFullMessage(const std::string& separator) const;

    const ExceptionBase* Inner() const { return inner.get(); }

    // The kind of the outermost link of the chain that has one: a failure wrapped in another
    // keeps its kind.
    FailureKind Kind() const;

protected:
    std::string message;

private:
    FailureKind kind;
    std::unique_ptr<ExceptionBase> inner;
    mutable std::string whatText;
};

// A fault while reading or writing the mapped view of the log file.
class ExceptionFileMapIO : public ExceptionBase {
public:
    explicit ExceptionFileMapIO(const std::string& message, const ExceptionBase* inner = nullptr);
    ExceptionFileMapIO(const ExceptionFileMapIO& other);
    ~ExceptionFileMapIO() override;

    ExceptionBase* Clone() const override;
};

// A failed operating-system call. The code is the calling thread's last error at construction
// unless a non-zero code is passed (registry calls return their status instead).
class ExceptionWindows : public ExceptionBase {
public:
    ExceptionWindows(const std::string& message, const ExceptionBase* inner = nullptr, std::uint32_t errorCode = 0);
    ExceptionWindows(FailureKind kind, const std::string& message, const ExceptionBase* inner = nullptr,
                     std::uint32_t errorCode = 0);
    ExceptionWindows(const ExceptionWindows& other);
    ~ExceptionWindows() override;

    std::string GetMessageText() const override;
    ExceptionBase* Clone() const override;

    std::uint32_t ErrorCode() const { return errorCode; }

private:
    std::uint32_t errorCode;
};

}  // namespace ZintarUtil::Exceptions
