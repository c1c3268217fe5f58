// The frame of a console program: command and parameters from the argument
// vector, start and end records, and one Error record with exit code 1 for
// whatever escapes the command.
#pragma once

#include <map>
#include <string>

// A command's parameters: name=value (or a bare name with the empty value),
// ordered by UTF-16 code units, the last occurrence of a name winning.
class Params {
public:
    Params(int count, wchar_t** first);

    // Lists are multi-strings (zero-terminated strings ended by an empty one),
    // or null for none. --internal-package-name is always accepted.
    void check(const wchar_t* required, const wchar_t* optional) const;
    static std::wstring possibleParameters(const wchar_t* required, const wchar_t* optional);

    const std::map<std::wstring, std::wstring>& values() const noexcept { return values_; }
    bool contains(const std::wstring& name) const { return values_.count(name) != 0; }

private:
    std::map<std::wstring, std::wstring> values_;
};

class vconsoleapp {
public:
    vconsoleapp();
    vconsoleapp(const vconsoleapp&) = delete;
    vconsoleapp& operator=(const vconsoleapp&) = delete;
    virtual ~vconsoleapp() = default;

    virtual int go(int count, wchar_t** parameters);
    virtual int start(int count, wchar_t** arguments);
    virtual int usage();

    int run(int count, wchar_t** arguments);
    [[noreturn]] void cmdNotSupported(const std::wstring& possibleCommands);

protected:
    std::wstring command;
};
