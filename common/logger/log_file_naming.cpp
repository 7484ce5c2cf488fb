#include "log_file_naming.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <vector>

#include "common/util/unique_resource.h"

namespace {

struct find_traits {
    using type = HANDLE;
    static type none() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};
using unique_find = unique_resource<find_traits>;

constexpr std::size_t kMaxHostNameLength = 127;
constexpr long long kSecondsPerDay = 86400;

// Calls `visit` for every entry matching `pattern`, "." and ".." left out.
void ForEachMatch(const std::wstring& pattern,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit)
{
    WIN32_FIND_DATAW entry;
    unique_find find(::FindFirstFileW(pattern.c_str(), &entry));
    if (!find) {
        return;  // no match, or no such folder: nothing to visit
    }
    do {
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0) {
            visit(entry);
        }
    } while (::FindNextFileW(find.get(), &entry));
}

bool IsFolder(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// File names compare without regard to case, as the file system does.
bool SameText(const wchar_t* a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a, static_cast<int>(b.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool AllDigits(const wchar_t* text, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
    }
    return true;
}

int DigitsValue(const wchar_t* text, std::size_t count)
{
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = value * 10 + (text[i] - L'0');
    }
    return value;
}

// Eight digits that name a real day as "%04d%02d%02d".
bool IsDateDigits(const wchar_t* text)
{
    if (!AllDigits(text, 8)) {
        return false;
    }
    const int year = DigitsValue(text, 4);
    const int month = DigitsValue(text + 4, 2);
    const int day = DigitsValue(text + 6, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::wstring Format(const wchar_t* format, int value)
{
    wchar_t text[32];
    const int length = std::swprintf(text, 32, format, value);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

std::wstring DateText(const std::tm& date)
{
    wchar_t text[32];
    const int length =
        std::swprintf(text, 32, L"%04d%02d%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

// Seconds since 1970 (UTC), the scale mktime answers in.
long long FileTimeSeconds(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return (static_cast<long long>(value.QuadPart) - 116444736000000000LL) / 10000000LL;
}

// fileDate at local midnight, less the allowed age; false for a date mktime rejects.
bool Cutoff(const LogFileNaming& naming, long long& cutoff)
{
    std::tm midnight = naming.fileDate;
    midnight.tm_hour = 0;
    midnight.tm_min = 0;
    midnight.tm_sec = 0;
    midnight.tm_isdst = -1;
    const std::time_t start = std::mktime(&midnight);
    if (start == static_cast<std::time_t>(-1)) {
        return false;
    }
    cutoff = static_cast<long long>(start) - naming.maxDailyFileAge * kSecondsPerDay;
    return true;
}

// --- simple names ---

// The configured name split as the naming builds on it: the folder part, the
// file name up to the insertion point (with the instance already written) and
// the extension.
struct SimpleName {
    std::wstring folder;  // up to and including the last separator
    std::wstring stem;    // file name part before the insertion point
    std::wstring ext;     // from the last "." of the file name part, or empty
};

bool SplitSimpleName(const LogFileNaming& naming, SimpleName& parts)
{
    const std::wstring& name = naming.logFile;
    if (name.empty() || name.size() > kMaxLogFileNameLength) {
        return false;
    }
    // A "." in a folder name is not an extension.
    const std::size_t separator = name.find_last_of(L"\\/:");
    const std::size_t fileStart = separator == std::wstring::npos ? 0 : separator + 1;
    std::size_t pos = name.rfind(L'.');
    if (pos == std::wstring::npos || pos < fileStart) {
        pos = name.size();
    }
    parts.folder = name.substr(0, fileStart);
    parts.stem = name.substr(fileStart, pos - fileStart);
    parts.ext = name.substr(pos);
    if (naming.instanceNumber != 0) {
        parts.stem += Format(L"-%03d", naming.instanceNumber);
        if (naming.dailyFile) {
            parts.stem += L"-";
        }
    }
    return true;
}

// Largest "_???" roll number in use after `stem`, plus one; 0 when none is.
int NextRollNumber(const std::wstring& folder, const std::wstring& stem, const std::wstring& ext)
{
    int largest = -1;
    const std::size_t length = stem.size() + 4 + ext.size();
    ForEachMatch(folder + stem + L"_???" + ext, [&](const WIN32_FIND_DATAW& entry) {
        const wchar_t* found = entry.cFileName;
        // The system's "?" also matches nothing before a dot; only the exact form counts.
        if (IsFolder(entry) || std::wcslen(found) != length || !SameText(found, stem) ||
            found[stem.size()] != L'_' || !AllDigits(found + stem.size() + 1, 3) ||
            !SameText(found + stem.size() + 4, ext)) {
            return;
        }
        largest = std::max(largest, DigitsValue(found + stem.size() + 1, 3));
    });
    return largest + 1;
}

void DeleteOldSimpleFiles(const LogFileNaming& naming, long long cutoff)
{
    SimpleName parts;
    if (!SplitSimpleName(naming, parts)) {
        return;
    }
    const std::wstring& stem = parts.stem;
    const std::wstring& ext = parts.ext;
    // stem + date + ext, or stem + date + "_" + roll number + ext, and nothing else.
    auto isDailyName = [&](const wchar_t* found) {
        const std::size_t length = std::wcslen(found);
        if (length < stem.size() + 8 + ext.size() || !SameText(found, stem) ||
            !IsDateDigits(found + stem.size())) {
            return false;
        }
        const wchar_t* rest = found + stem.size() + 8;
        if (length == stem.size() + 8 + ext.size()) {
            return SameText(rest, ext);
        }
        return length == stem.size() + 12 + ext.size() && rest[0] == L'_' &&
               AllDigits(rest + 1, 3) && SameText(rest + 4, ext);
    };
    for (const wchar_t* tail : {L"????????", L"????????_???"}) {
        ForEachMatch(parts.folder + stem + tail + ext, [&](const WIN32_FIND_DATAW& entry) {
            if (IsFolder(entry) || !isDailyName(entry.cFileName) ||
                FileTimeSeconds(entry.ftLastWriteTime) >= cutoff) {
                return;
            }
            // A file still open elsewhere stays; the next open tries again.
            ::DeleteFileW((parts.folder + entry.cFileName).c_str());
        });
    }
}

// --- structured names ---

// One of the four structured layouts. %ls is the wide-string conversion in
// both the system's and the C99 wide printf.
std::wstring StructuredName(const LogFileNaming& naming, const std::wstring& prefix,
                            const std::tm& date, int sequence)
{
    const std::size_t size = naming.logFolder.size() + prefix.size() + naming.computerName.size() +
                             naming.ident.size() + 96;
    std::vector<wchar_t> text(size);
    const int year = date.tm_year + 1900;
    const int month = date.tm_mon + 1;
    const int day = date.tm_mday;
    const wchar_t* folder = naming.logFolder.c_str();
    const wchar_t* computer = naming.computerName.c_str();
    const wchar_t* ident = naming.ident.c_str();
    const int instance = naming.instanceNumber;
    int length;
    if (naming.dailyFile && naming.dailyFolder) {
        length = std::swprintf(text.data(), size, L"%ls\\%04d%02d%02d\\%ls%ls_%ls_%02d_%04d%02d%02d_%04d.txt",
                               folder, year, month, day, prefix.c_str(), computer, ident, instance,
                               year, month, day, sequence);
    } else if (naming.dailyFile) {
        length = std::swprintf(text.data(), size, L"%ls\\%ls%ls_%ls_%02d_%04d%02d%02d_%04d.txt", folder,
                               prefix.c_str(), computer, ident, instance, year, month, day, sequence);
    } else if (naming.dailyFolder) {
        length = std::swprintf(text.data(), size, L"%ls\\%04d%02d%02d\\%ls%ls_%ls_%02d_%04d.txt", folder,
                               year, month, day, prefix.c_str(), computer, ident, instance, sequence);
    } else {
        length = std::swprintf(text.data(), size, L"%ls\\%ls%ls_%ls_%02d_%04d.txt", folder,
                               prefix.c_str(), computer, ident, instance, sequence);
    }
    return length > 0 ? std::wstring(text.data(), static_cast<std::size_t>(length)) : std::wstring();
}

// What follows the prefix in a structured file name, up to the sequence:
// "computer_ident_II_" or "computer_ident_II_YYYYMMDD_".
std::wstring StructuredTail(const LogFileNaming& naming)
{
    return naming.computerName + L"_" + naming.ident + L"_" + Format(L"%02d", naming.instanceNumber) +
           L"_";
}

// True when `found` is any prefix, then `tail`, the date digits when
// withDate, four sequence digits and ".txt".
bool IsStructuredName(const wchar_t* found, const std::wstring& tail, bool withDate)
{
    const std::size_t length = std::wcslen(found);
    const std::size_t rest = tail.size() + (withDate ? 9 : 0) + 8;
    if (length < rest) {
        return false;
    }
    const wchar_t* p = found + (length - rest);
    if (!SameText(p, tail)) {
        return false;
    }
    p += tail.size();
    if (withDate) {
        if (!IsDateDigits(p) || p[8] != L'_') {
            return false;
        }
        p += 9;
    }
    return AllDigits(p, 4) && SameText(p + 4, std::wstring(L".txt"));
}

// The layout with "*" for the prefix and "????" for the sequence.
std::wstring StructuredPattern(const LogFileNaming& naming, const std::tm& date)
{
    std::wstring pattern = StructuredName(naming, L"*", date, 0);
    if (pattern.size() >= 8) {
        pattern.replace(pattern.size() - 8, 4, L"????");
    }
    return pattern;
}

int HighestSequence(const LogFileNaming& naming)
{
    const std::wstring tail = StructuredTail(naming);
    int highest = 0;
    ForEachMatch(StructuredPattern(naming, naming.fileDate), [&](const WIN32_FIND_DATAW& entry) {
        if (!IsFolder(entry) && IsStructuredName(entry.cFileName, tail, naming.dailyFile)) {
            const std::size_t length = std::wcslen(entry.cFileName);
            highest = std::max(highest, DigitsValue(entry.cFileName + length - 8, 4));
        }
    });
    return highest;
}

void DeleteOldStructuredFiles(const LogFileNaming& naming, long long cutoff)
{
    const std::wstring tail = StructuredTail(naming);
    const std::wstring filePattern =
        L"*" + tail + (naming.dailyFile ? L"????????_????.txt" : L"????.txt");
    auto deleteIn = [&](const std::wstring& folder, bool byCreation) {
        ForEachMatch(folder + L"\\" + filePattern, [&](const WIN32_FIND_DATAW& entry) {
            const FILETIME& time = byCreation ? entry.ftCreationTime : entry.ftLastWriteTime;
            if (IsFolder(entry) || !IsStructuredName(entry.cFileName, tail, naming.dailyFile) ||
                FileTimeSeconds(time) >= cutoff) {
                return;
            }
            // A file still open elsewhere stays; the next open tries again.
            ::DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
        });
    };
    ForEachMatch(naming.logFolder + L"\\????????", [&](const WIN32_FIND_DATAW& entry) {
        if (!IsFolder(entry) || std::wcslen(entry.cFileName) != 8 || !IsDateDigits(entry.cFileName)) {
            return;
        }
        const std::wstring dateFolder = naming.logFolder + L"\\" + entry.cFileName;
        deleteIn(dateFolder, true);
        // Succeeds only when the folder is empty now; a failure leaves it as it is.
        ::RemoveDirectoryW(dateFolder.c_str());
    });
    deleteIn(naming.logFolder, false);
}

std::wstring MakeSimpleName(const LogFileNaming& naming, bool forceNew)
{
    SimpleName parts;
    if (!SplitSimpleName(naming, parts)) {
        return {};
    }
    if (naming.dailyFile) {
        if (naming.maxDailyFileAge > 0) {
            DeleteOldDailyFiles(naming);
        }
        parts.stem += DateText(naming.fileDate);
    }
    if (naming.autoRoll || forceNew) {
        parts.stem += Format(L"_%03d", NextRollNumber(parts.folder, parts.stem, parts.ext));
    }
    std::wstring name = parts.folder + parts.stem + parts.ext;
    if (name.size() > kMaxLogFileNameLength) {
        return {};
    }
    return name;
}

std::wstring MakeStructuredName(const LogFileNaming& naming, bool forceNew)
{
    // Refused before anything is deleted: even the shortest sequence would not fit.
    if (StructuredName(naming, naming.logFilePrefix, naming.fileDate, 0).size() > kMaxLogFileNameLength) {
        return {};
    }
    if (naming.dailyFile && naming.maxDailyFileAge > 0) {
        DeleteOldDailyFiles(naming);
    }
    const int highest = HighestSequence(naming);
    const int sequence = naming.autoRoll || forceNew ? highest + 1 : std::max(highest, 1);
    std::wstring name = StructuredName(naming, naming.logFilePrefix, naming.fileDate, sequence);
    if (name.empty() || name.size() > kMaxLogFileNameLength) {
        return {};
    }
    return name;
}

}  // namespace

std::wstring MakeLogFileName(const LogFileNaming& naming, bool forceNew)
{
    return naming.structuredNaming ? MakeStructuredName(naming, forceNew)
                                   : MakeSimpleName(naming, forceNew);
}

void DeleteOldDailyFiles(const LogFileNaming& naming)
{
    long long cutoff = 0;
    if (naming.maxDailyFileAge <= 0 || !Cutoff(naming, cutoff)) {
        return;
    }
    if (naming.structuredNaming) {
        DeleteOldStructuredFiles(naming, cutoff);
    } else if (naming.dailyFile) {
        DeleteOldSimpleFiles(naming, cutoff);
    }
}

std::wstring LocalDnsHostName()
{
    std::vector<wchar_t> buffer(kMaxHostNameLength + 1);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::GetComputerNameExW(ComputerNameDnsHostname, buffer.data(), &size)) {
        if (::GetLastError() != ERROR_MORE_DATA) {
            return {};
        }
        // `size` now holds the length the name needs, with its terminator.
        buffer.resize(size + 1);
        size = static_cast<DWORD>(buffer.size());
        if (!::GetComputerNameExW(ComputerNameDnsHostname, buffer.data(), &size)) {
            return {};
        }
    }
    std::wstring name(buffer.data(), std::min<std::size_t>(size, kMaxHostNameLength));
    for (wchar_t& c : name) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return name;
}
