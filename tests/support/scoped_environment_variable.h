#pragma once

// Sets (or, with a null value, removes) a process environment variable for
// the life of the object, then puts the old value back.

#include <windows.h>

#include <optional>
#include <string>

class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value) : name_(name)
    {
        const DWORD units = ::GetEnvironmentVariableW(name, nullptr, 0);
        if (units > 0) {
            std::wstring old(units, L'\0');
            old.resize(::GetEnvironmentVariableW(name, &old[0], units));
            old_ = old;
        }
        ::SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironmentVariable()
    {
        ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
    }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};
