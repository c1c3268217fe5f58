// The exception family: every failure in the system travels as a vexception
// (or subclass) carrying its message and a chain of context entries.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <type_traits>

struct ErrorContext {
    std::wstring text;      // the call as written for the reader; empty at a raise site
    std::string function;   // qualified operation name or short place name
    std::int32_t line = 0;
};

class vexception {
public:
    vexception(std::wstring message, const ErrorContext& context);
    vexception(const vexception&) = default;
    vexception& operator=(const vexception&) = default;
    vexception(vexception&&) = default;
    vexception& operator=(vexception&&) = default;
    virtual ~vexception() = default;

    void addContext(const ErrorContext& context) { chain_.push_back(context); }

    const std::wstring& message() const noexcept { return message_; }
    const std::list<ErrorContext>& chain() const noexcept { return chain_; }

protected:
    struct NoContext {};
    vexception(std::wstring message, NoContext) : message_(std::move(message)) {}

private:
    std::wstring message_;
    std::list<ErrorContext> chain_;   // raise site first, outermost operation last
};

class vosexception : public vexception {
public:
    // operation may be null: the message then ends after the code suffix.
    vosexception(std::uint32_t code, const wchar_t* operation, const ErrorContext& context);
    vosexception(std::uint32_t code, const std::wstring& operation, const ErrorContext& context)
        : vosexception(code, operation.c_str(), context) {}

    std::uint32_t code() const noexcept { return code_; }

    // "<system text or Unknown error> (Error code N)[ at operation]"
    static std::wstring composeMessage(std::uint32_t code, const wchar_t* operation);

private:
    std::uint32_t code_;
};

// One distinct type per Win32 error code that callers catch by type.
template <std::uint32_t Code>
class VOsErrorException : public vosexception {
public:
    using vosexception::vosexception;
};

using VFileNotFoundException = VOsErrorException<2>;
using VPathNotFoundException = VOsErrorException<3>;
using VAccessDeniedException = VOsErrorException<5>;
using VInvalidHandleException = VOsErrorException<6>;
using VOutOfMemoryException = VOsErrorException<14>;
using VInvalidDriveException = VOsErrorException<15>;
using VNotDosDiskException = VOsErrorException<26>;
using VSharingViolationException = VOsErrorException<32>;
using VLockViolationException = VOsErrorException<33>;
using VWrongDiskException = VOsErrorException<34>;
using VSharingBufferExceededException = VOsErrorException<36>;
using VEOFException = VOsErrorException<38>;
using VFileExistsException = VOsErrorException<80>;
using VInsufficientBufferException = VOsErrorException<122>;
using VInvalidNameException = VOsErrorException<123>;
using VDirectoryNotEmptyException = VOsErrorException<145>;
using VInvalidPathException = VOsErrorException<161>;
using VAlreadyExistsException = VOsErrorException<183>;
using VPipeClosedException = VOsErrorException<232>;
using VInvalidDirectoryNameException = VOsErrorException<267>;
using VServiceDoesNotExistException = VOsErrorException<1060>;
using VServiceMarkedForDeleteException = VOsErrorException<1072>;
using VServiceAlreadyExistsException = VOsErrorException<1073>;
using VNoneMappedException = VOsErrorException<1332>;
using VNoSuchMemberException = VOsErrorException<1387>;
using VTrustedRelationshipFailureException = VOsErrorException<1789>;
using VPasswordTooShortException = VOsErrorException<2245>;

class ArgumentException : public vexception {
public:
    using vexception::vexception;
};

// A structured (machine) exception on its way to the guarded operation that
// turns it into a vexception. Deliberately outside the family.
class cwrpexception {
public:
    explicit cwrpexception(std::uint32_t code) noexcept : code_(code) {}
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// The system's text for code as FormatMessage gives it, line end included;
// empty when the system has none.
std::wstring systemMessage(std::uint32_t code);

// Throws the class that matches code; operation names the failed Windows call.
[[noreturn]] void throwOsError(const wchar_t* operation, std::uint32_t code, const ErrorContext& context);
[[noreturn]] inline void throwOsError(const std::wstring& operation, std::uint32_t code,
                                      const ErrorContext& context) {
    throwOsError(operation.c_str(), code, context);
}

// The raise-site entry: empty text, a short place name and the source line.
inline ErrorContext raiseSite(const char* function, std::int32_t line) {
    return ErrorContext{std::wstring(), function, line};
}

// throwOsError with the calling thread's last error, read before anything
// is built that could change it: the arguments are plain pointers and a line.
[[noreturn]] void throwLastOsError(const wchar_t* operation, const char* function, std::int32_t line);

// GetLastError, for the inline form below.
std::uint32_t lastError() noexcept;

// The same for an operation text that has to be built: it is built only
// after the last error has been read.
template <class MakeText, std::enable_if_t<std::is_invocable_r_v<std::wstring, MakeText&>, int> = 0>
[[noreturn]] void throwLastOsError(MakeText&& makeText, const char* function, std::int32_t line) {
    const std::uint32_t error = lastError();
    throwOsError(makeText(), error, raiseSite(function, line));
}
