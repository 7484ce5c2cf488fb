#include "common/environment/charset_table.h"

#include <utility>
#include <vector>

#include "common/registry/registry.h"
#include "common/util/ansi_text.h"

namespace {

// Ordinal comparison of the upper-cased texts: a strict order that does not
// depend on the thread's locale. A length of -1 stops at the terminator.
bool NoCaseBefore(const wchar_t* a, int aLength, const wchar_t* b, int bLength) noexcept
{
    return ::CompareStringOrdinal(a, aLength, b, bLength, TRUE) == CSTR_LESS_THAN;
}

}  // namespace

bool CharsetTable::NoCaseLess::operator()(const std::wstring& a,
                                          const std::wstring& b) const noexcept
{
    return NoCaseBefore(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                        static_cast<int>(b.size()));
}

bool CharsetTable::NoCaseLess::operator()(const std::wstring& a, const wchar_t* b) const noexcept
{
    return NoCaseBefore(a.c_str(), static_cast<int>(a.size()), b, -1);
}

bool CharsetTable::NoCaseLess::operator()(const wchar_t* a, const std::wstring& b) const noexcept
{
    return NoCaseBefore(a, -1, b.c_str(), static_cast<int>(b.size()));
}

void CharsetTable::Insert(const std::wstring& name, std::int32_t codePage)
{
    entries_.insert_or_assign(name, codePage);
}

bool CharsetTable::Lookup(const wchar_t* name, std::int32_t& codePage) const noexcept
{
    if (name == nullptr) {
        return false;
    }
    const auto found = entries_.find(name);
    if (found == entries_.end()) {
        return false;
    }
    codePage = found->second;
    return true;
}

CharsetTable BuildCharsetTable(HKEY root, const char* path)
{
    CharsetTable table;
    Registry charsets(root, path);
    std::uint64_t count = 0;
    if (!charsets.Open() || !charsets.SubKeyCount(&count)) {
        return table;
    }

    struct Alias {
        std::wstring name;
        std::wstring target;
    };
    std::vector<Alias> aliases;
    constexpr DWORD kAliasUnits = 256;
    for (std::uint64_t index = 0; index < count; ++index) {
        Registry charset;
        if (!charsets.OpenSubKey(static_cast<DWORD>(index), charset)) {
            continue;
        }
        const char* leaf = charset.LeafName();
        if (leaf == nullptr) {
            continue;
        }
        const std::wstring name = NarrowToWide(leaf, kWholeText, false);
        if (name.empty()) {
            continue;
        }
        std::int32_t codePage = 0;
        wchar_t target[kAliasUnits] = {};
        if (charset.ReadDword(L"InternetEncoding", codePage)) {
            table.Insert(name, codePage);
        } else if (charset.ReadString(L"AliasForCharset", target, kAliasUnits)) {
            aliases.push_back({name, target});
        }
    }

    // An alias may name another alias: repeat until a pass resolves nothing.
    bool resolved = true;
    while (resolved && !aliases.empty()) {
        resolved = false;
        for (auto alias = aliases.begin(); alias != aliases.end();) {
            std::int32_t codePage = 0;
            if (table.Lookup(alias->target.c_str(), codePage)) {
                table.Insert(alias->name, codePage);
                alias = aliases.erase(alias);
                resolved = true;
            } else {
                ++alias;
            }
        }
    }
    return table;
}

CharsetTable BuildCharsetTable()
{
    return BuildCharsetTable(HKEY_CLASSES_ROOT, kMimeCharsetPath);
}
