#pragma once

// MIME charset names and the Windows code pages they stand for, as the
// registry's MIME database lists them. Names compare ignoring case.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class CharsetTable {
public:
    // Enters `name`, replacing an entry of the same name in any case.
    void Insert(const std::wstring& name, std::int32_t codePage);
    // Whether `name` is listed; its code page goes to `codePage` when it is.
    bool Lookup(const wchar_t* name, std::int32_t& codePage) const noexcept;
    std::size_t Size() const noexcept { return entries_.size(); }
    bool Empty() const noexcept { return entries_.empty(); }

private:
    // Transparent, so that a lookup needs no copy of the name.
    struct NoCaseLess {
        using is_transparent = void;
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
        bool operator()(const std::wstring& a, const wchar_t* b) const noexcept;
        bool operator()(const wchar_t* a, const std::wstring& b) const noexcept;
    };

    std::map<std::wstring, std::int32_t, NoCaseLess> entries_;
};

// Where the MIME database keeps its charsets, below HKEY_CLASSES_ROOT.
constexpr const char* kMimeCharsetPath = "MIME\\Database\\Charset";

// One entry per sub-key of `path` with a DWORD "InternetEncoding"; sub-keys
// with an "AliasForCharset" instead take their target's code page, through
// chains of aliases. Keys or values that cannot be read are left out.
CharsetTable BuildCharsetTable(HKEY root, const char* path);
CharsetTable BuildCharsetTable();  // HKEY_CLASSES_ROOT, kMimeCharsetPath

// The process-wide table, built when the library is loaded and only read
// afterwards; null before it is built and once it is gone.
const CharsetTable* ProcessCharsetTable() noexcept;
