#pragma once

// Class definitions read from a MOF file: the part of the language the
// provider's own class file uses (comments, pragmas, instances, classes with
// qualifiers and scalar properties). Instances and pragmas are skipped; they
// register the provider with a real WMI, which the host stands in for.

#include <windows.h>
#include <wbemcli.h>

#include <map>
#include <string>
#include <vector>

namespace wmihost {

// MOF names (classes, properties, qualifiers, types) ignore case.
struct CaseInsensitiveLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};
bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) noexcept;

// Qualifier values as text: strings without quotes and with escapes resolved,
// numbers as written, TRUE or FALSE for booleans and TRUE for a bare name.
using Qualifiers = std::map<std::wstring, std::wstring, CaseInsensitiveLess>;

struct PropertyDef {
    std::wstring name;
    CIMTYPE type = CIM_EMPTY;
    bool key = false;
    Qualifiers qualifiers;
};

struct ClassDef {
    std::wstring name;
    std::wstring superclass;  // empty for a root class
    Qualifiers qualifiers;
    std::vector<PropertyDef> properties;
};

// The MOF keyword for a scalar CIM type ("uint32"); empty for any other type.
std::wstring CimTypeName(CIMTYPE type);

// Appends the classes `text` defines, in order. False with "line N: ..." in
// `error` when the text leaves the supported language or is malformed; the
// classes read before the fault are kept.
bool ParseMofClasses(const std::wstring& text, std::vector<ClassDef>& classes, std::wstring& error);

// The same for a file read as UTF-8 (or ASCII); a UTF-16 file with its byte
// order mark is read too, as mofcomp accepts both.
bool ReadMofClasses(const std::wstring& path, std::vector<ClassDef>& classes, std::wstring& error);

}  // namespace wmihost
