#pragma once

// Names of the logger's files: simple names built on the configured file name
// (instance, date, roll number) and structured names built from folder,
// prefix, computer, ident, instance, date and sequence number; and the
// deletion of daily files that have grown too old.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

struct LogFileNaming {
    std::wstring logFile;         // simple naming: the configured name, e.g. D:\Logs\Svc.txt
    std::wstring logFolder;       // structured naming: folder, prefix, computer, ident
    std::wstring logFilePrefix;
    std::wstring computerName;    // upper-cased DNS host name
    std::wstring ident;
    std::int32_t instanceNumber = 0;
    bool structuredNaming = false;
    bool dailyFile = false;
    bool dailyFolder = false;
    bool autoRoll = false;
    std::int32_t maxDailyFileAge = 0;  // days; 0 or less keeps all
    std::tm fileDate = {};             // tm_mday, tm_mon (0-11), tm_year (years since 1900)
};

// Names longer than this are refused rather than cut into another file's name.
constexpr std::size_t kMaxLogFileNameLength = 256;

// The name of the file to open for `naming` (forceNew: a new roll number /
// sequence even without autoRoll). Deletes old daily files first where the
// naming rules say so. Empty when the name would be longer than 256
// characters (the caller then reports that it could not create the file).
// A date folder in the name is not created here.
std::wstring MakeLogFileName(const LogFileNaming& naming, bool forceNew);

// Deletes daily files older than maxDailyFileAge days before fileDate (local
// midnight), by the rules for simple and structured names; only exact pattern
// matches whose date digits parse as a real date. Does nothing when
// maxDailyFileAge is 0 or less, nor for simple names without dailyFile.
void DeleteOldDailyFiles(const LogFileNaming& naming);

// GetComputerNameExW(ComputerNameDnsHostname), at most 127 characters, a-z
// upper-cased to A-Z only. Empty when the system cannot say.
std::wstring LocalDnsHostName();
