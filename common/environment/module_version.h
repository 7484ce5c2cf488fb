#pragma once

// File versions of modules and the path expansion the environment report
// applies to the library paths it finds in the registry.

#include <string>

struct ModuleFileVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    unsigned revision = 0;
};

// The fixed file version of `file` (a name or a path). A module of that name
// loaded in the process is read from its own full path; a name with "%" that
// has no version information is expanded and tried once more. False, with
// all four numbers 0, when no version information can be read.
bool GetModuleFileVersion(const wchar_t* file, ModuleFileVersion& version) noexcept;

// Environment variables expanded (up to 259 characters) when the path has a
// "%"; a result starting with "." made full relative to the current folder;
// otherwise the text as it is. An empty or null input gives an empty output
// and false.
bool ExpandPath(const wchar_t* path, std::wstring& expanded) noexcept;
