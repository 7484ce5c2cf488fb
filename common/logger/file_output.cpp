#include "common/logger/file_output.h"

#include <direct.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <locale>
#include <vector>

#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"
#include "common/logger/log_file_naming.h"
#include "common/logger/thread_registry.h"
#include "common/logger/utf_facets.h"
#include "common/util/ansi_text.h"
#include "common/util/unique_resource.h"

namespace {

// The identifier of an error entry, the one failure reports carry.
constexpr std::int32_t kFileErrorEventId = static_cast<std::int32_t>(0xEFFF2710u);
// Record lines are cut to this many characters before their line end.
constexpr std::size_t kFileLineLimit = 1023;
// The end marker is searched in chunks of at most this many bytes.
constexpr std::size_t kMarkerChunkBytes = 8190;

const wchar_t kNonUnicodeLine[] =
    L"[DIAG] Error writing the debug trace line - non-UNICODE characters encountered";

// A second, read-only view of the file, shared as the stream is.
unique_file OpenForReading(const std::wstring& name) noexcept
{
    return unique_file(::CreateFileW(name.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Encodings other than UTF-8 and UTF-16LE are written as ANSI.
int EffectiveEncoding(std::int32_t encoding) noexcept
{
    return encoding == 1 || encoding == 2 ? encoding : 0;
}

const wchar_t* EncodingLabel(int encoding) noexcept
{
    return encoding == 1 ? L"UTF-8" : L"UTF-16LE";
}

std::locale LocaleFor(int encoding)
{
    switch (encoding) {
    case 1:
        return std::locale(std::locale::classic(), new UTF8StreamCodeCvtFacet);
    case 2:
        return std::locale(std::locale::classic(), new UTF16LEStreamCodeCvtFacet);
    default:
        return std::locale::classic();
    }
}

// Every folder along the name; the server and share of a UNC path and the
// drive are not folders to make. An existing folder is no failure.
bool CreateFoldersFor(const std::wstring& name)
{
    std::size_t start = 0;
    if (name.compare(0, 2, L"\\\\") == 0) {
        const std::size_t server = name.find(L'\\', 2);
        start = server == std::wstring::npos ? name.size() : name.find(L'\\', server + 1);
        if (start == std::wstring::npos) {
            return true;
        }
        ++start;
    } else if (name.size() > 2 && name[1] == L':') {
        start = 3;
    }
    for (std::size_t slash = name.find_first_of(L"\\/", start); slash != std::wstring::npos;
         slash = name.find_first_of(L"\\/", slash + 1)) {
        const std::wstring folder = name.substr(0, slash);
        if (folder.empty() || ::_wmkdir(folder.c_str()) == 0) {
            continue;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool SameDate(const std::tm& date, const SYSTEMTIME& now) noexcept
{
    return date.tm_mday == now.wDay && date.tm_mon == now.wMonth - 1 &&
           date.tm_year == now.wYear - 1900;
}

// The pieces a text is written as: with splitLines one per line, runs of
// line breaks skipped and each piece without trailing white space.
std::vector<std::wstring> Pieces(const std::wstring& text, bool splitLines)
{
    if (!splitLines) {
        return {text};
    }
    std::vector<std::wstring> pieces;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = text.find_first_of(L"\r\n", begin);
        std::wstring piece = text.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
        TrimTrailingWhiteSpace(piece);
        if (!piece.empty() || pieces.empty()) {
            pieces.push_back(std::move(piece));
        }
        if (end == std::wstring::npos) {
            break;
        }
        begin = text.find_first_not_of(L"\r\n", end);
        if (begin == std::wstring::npos) {
            break;
        }
    }
    if (pieces.size() > 1 && pieces.front().empty()) {
        pieces.erase(pieces.begin());
    }
    return pieces;
}

}  // namespace

FileOutput::FileOutput(DebugLogger& logger) noexcept : logger_(logger) {}

FileOutput::~FileOutput()
{
    if (IsOpen()) {
        lineEnd_ = std::streampos(-1);
        stream_->close();
    }
}

DebugLogConfig& FileOutput::Config() noexcept
{
    return logger_.MutableConfig();
}

void FileOutput::ReportFailure(const std::wstring& what)
{
    const int error = errno;
    if (error == lastFileErrno_) {
        return;
    }
    lastFileErrno_ = error;
    wchar_t tail[kLogTextUnits] = {};
    _snwprintf(tail, kLogTextUnits - 1, L" : %s (error : %d)", _wcserror(error), error);
    const std::wstring text = what + tail;
    logger_.Log(1, kFileErrorEventId, 0, text.c_str(), nullptr);
}

// ------------------------------------------------------------------ opening

bool FileOutput::OpenLogFile()
{
    DebugLogConfig& c = Config();
    if (!c.debugLogEnabled || c.logFile.empty()) {
        return false;
    }
    bool forceNew = false;
    if (IsOpen()) {
        const int detected = DetectFileEncoding();
        if (detected == -1) {
            if (WriteFileHeader()) {
                return true;
            }
            forceNew = true;
        } else if (detected == EffectiveEncoding(c.encoding)) {
            return true;
        } else {
            forceNew = true;
        }
        lineEnd_ = std::streampos(-1);
        stream_->close();
        stream_->clear();
    }
    return OpenNamed(forceNew);
}

bool FileOutput::OpenNamed(bool forceNew)
{
    DebugLogConfig& c = Config();
    SYSTEMTIME today = {};
    clock_(&today);
    logger_.SetFileDate(today);
    LogFileNaming naming;
    naming.logFile = c.logFile;
    naming.logFolder = c.logFolder;
    naming.logFilePrefix = c.logFilePrefix;
    naming.ident = c.ident;
    naming.instanceNumber = c.instanceNumber;
    naming.structuredNaming = c.structuredNaming;
    naming.dailyFile = c.dailyFile;
    naming.dailyFolder = c.dailyFolder;
    naming.autoRoll = c.autoRoll;
    naming.maxDailyFileAge = c.maxDailyFileAge;
    naming.fileDate = c.fileDate;
    if (c.structuredNaming) {
        naming.computerName = LocalDnsHostName();
    }
    const std::wstring name = MakeLogFileName(naming, forceNew);
    if (name.empty()) {
        errno = ENAMETOOLONG;
        ReportFailure(L"[DIAG] Could not create debug trace file " + c.logFile);
        return false;
    }
    FILE* created = nullptr;
    if (CreateFoldersFor(name)) {
        created = ::_wfopen(name.c_str(), L"ab");
    }
    if (created == nullptr) {
        ReportFailure(L"[DIAG] Could not create debug trace file " + name);
        return false;
    }
    std::fclose(created);

    // Made on first use, on the logger thread: a stream built while a
    // module loads would tie per-thread runtime state to the loading thread.
    if (!stream_) {
        stream_ = std::make_unique<std::wfstream>();
    }
    stream_->clear();
    stream_->imbue(LocaleFor(EffectiveEncoding(c.encoding)));
    lineEnd_ = std::streampos(-1);
    stream_->open(name.c_str(), std::ios::in | std::ios::out | std::ios::binary);
    if (!stream_->is_open()) {
        ReportFailure(L"[DIAG] Debug trace file " + name + L" was not open");
        return false;
    }
    fileName_ = name;
    lastFileErrno_ = 0;
    if (!PrepareOpenedFile()) {
        return false;
    }
    WriteOpeningReport();
    return true;
}

bool FileOutput::PrepareOpenedFile()
{
    DebugLogConfig& c = Config();
    const int detected = DetectFileEncoding();
    if (detected == -1) {
        if (!WriteFileHeader()) {
            return false;
        }
    } else if (detected != EffectiveEncoding(c.encoding)) {
        // Another encoding's file is left as it is; a new one is started.
        // A second mismatch (the new file cannot be of another encoding,
        // being empty) would mean the name keeps coming back: give up.
        lineEnd_ = std::streampos(-1);
        stream_->close();
        stream_->clear();
        if (reopenPending_) {
            return false;
        }
        reopenPending_ = true;
        const bool opened = OpenNamed(true);
        reopenPending_ = false;
        return opened;
    }
    lineEnd_ = std::streampos(-1);
    stream_->seekp(0, std::ios::end);
    if (c.debugLogSize > 0 && detected != -1) {
        SeekToEndMarker();
    }
    return stream_->good();
}

int FileOutput::DetectFileEncoding()
{
    const unique_file file = OpenForReading(fileName_);
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size)) {
        return -2;
    }
    if (size.QuadPart == 0) {
        return -1;
    }
    unsigned char bytes[64] = {};
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes, sizeof(bytes), &read, nullptr) || read == 0) {
        return -2;
    }
    if (read >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return read >= 8 && std::memcmp(bytes + 3, "UTF-8", 5) == 0 ? 1 : -2;
    }
    if (read >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        // The label as UTF-16LE characters after the byte-order mark.
        const auto labelIs = [&](const char* label) {
            const std::size_t length = std::strlen(label);
            if (read < 2 + 2 * length) {
                return false;
            }
            for (std::size_t i = 0; i < length; ++i) {
                if (bytes[2 + 2 * i] != static_cast<unsigned char>(label[i]) || bytes[3 + 2 * i] != 0) {
                    return false;
                }
            }
            return true;
        };
        return labelIs("UTF-16LE") || labelIs("UTF-16BE") ? 2 : -2;
    }
    return 0;
}

bool FileOutput::WriteFileHeader()
{
    const int encoding = EffectiveEncoding(Config().encoding);
    if (encoding == 0) {
        return true;
    }
    if (!IsOpen()) {
        return false;
    }
    lineEnd_ = std::streampos(-1);
    *stream_ << L'\xFEFF' << EncodingLabel(encoding) << L" encoded\r\n";
    stream_->flush();
    if (!stream_->good()) {
        ReportFailure(L"[DIAG] Error during writing the debug file header");
        return false;
    }
    return true;
}

// Continues at the first end marker: a wrap starts over at the beginning of
// the file, so the first marker is the one written last.
bool FileOutput::SeekToEndMarker()
{
    const bool wide = EffectiveEncoding(Config().encoding) == 2;
    std::string marker;
    for (const wchar_t* p = kLogEndMarker; *p != L'\0'; ++p) {
        marker.push_back(static_cast<char>(*p));
        if (wide) {
            marker.push_back('\0');
        }
    }
    const unique_file file = OpenForReading(fileName_);
    if (!file) {
        return false;
    }
    // Each chunk starts early enough that a marker across the end of the
    // previous one is found whole.
    const std::size_t overlap = marker.size() + 2;
    std::vector<char> chunk(kMarkerChunkBytes);
    std::int64_t chunkStart = 0;
    for (;;) {
        LARGE_INTEGER at = {};
        at.QuadPart = chunkStart;
        DWORD read = 0;
        if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
            !::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) ||
            read < marker.size()) {
            return false;
        }
        const std::string_view view(chunk.data(), read);
        for (std::size_t found = view.find(marker); found != std::string_view::npos;
             found = view.find(marker, found + 1)) {
            const std::int64_t offset = chunkStart + static_cast<std::int64_t>(found);
            if (!wide || offset % 2 == 0) {
                lineEnd_ = std::streampos(-1);
                stream_->seekp(std::streampos(static_cast<std::streamoff>(offset)));
                return stream_->good();
            }
        }
        if (read < chunk.size()) {
            return false;
        }
        chunkStart += static_cast<std::int64_t>(read - overlap);
    }
}

bool FileOutput::WriteOpeningReport()
{
    const DebugLogConfig& c = Config();
    if (c.debugLogLevel <= 2) {
        return true;
    }
    SYSTEMTIME now = {};
    clock_(&now);
    wchar_t line[64] = {};
    _snwprintf(line, 63, L"Current Date: %04d/%02d/%02d", now.wYear, now.wMonth, now.wDay);
    const DWORD self = ::GetCurrentThreadId();
    if (WriteFileRecord(now, self, 3, line, 0, std::wstring()) < 0) {
        return false;
    }
    if (ThreadRegistry* const registry = ProcessThreadRegistry()) {
        for (const auto& thread : registry->Snapshot()) {
            wchar_t report[kLogTextUnits] = {};
            const std::wstring name = AnsiToWide(thread.second.c_str());
            _snwprintf(report, kLogTextUnits - 1,
                       L"[DIAG] EVENT=Thread_report, THREADID=0x%X, THREADNAME=\"%s\"", thread.first,
                       name.c_str());
            if (WriteFileRecord(now, self, 3, report, 0, std::wstring()) < 0) {
                return false;
            }
        }
    }
    if (c.reportEnvironment) {
        logger_.RunEnvironmentReport();
    }
    return true;
}

bool FileOutput::CloseLogFile()
{
    if (!stream_) {
        return true;
    }
    if (stream_->is_open()) {
        if (Config().debugLogSize > 0) {
            WriteLine(std::wstring(kLogEndMarker) + L"\r\n");
        }
        lineEnd_ = std::streampos(-1);
        stream_->close();
    }
    stream_->clear();
    return true;
}

bool FileOutput::ReopenLogFile()
{
    CloseLogFile();
    OpenLogFile();
    lastReopen_ = ticks_();
    openFailed_ = Config().debugLogEnabled && !IsOpen();
    if (!Config().debugLogEnabled) {
        return true;
    }
    if (IsOpen()) {
        if (LogRollCallback* const callback = logger_.RollCallback()) {
            callback->LogFileRolled();
        }
    }
    return IsOpen();
}

// ------------------------------------------------------------------ writing

bool FileOutput::WriteLine(const std::wstring& line)
{
    if (EffectiveEncoding(Config().encoding) == 0) {
        std::wstring ansi = line;
        for (wchar_t& character : ansi) {
            if (character >= 128) {
                character = L'?';
            }
        }
        *stream_ << ansi;
    } else {
        *stream_ << line;
    }
    stream_->flush();
    return stream_->good();
}

std::int64_t FileOutput::WriteFileRecord(const SYSTEMTIME& time, std::uint32_t threadId,
                                         std::int32_t level, const std::wstring& text,
                                         std::int32_t eventId, const std::wstring& user)
{
    const DebugLogConfig& c = Config();
    if (!c.debugLogEnabled || !(level <= c.debugLogLevel || level == kAlwaysLogLevel)) {
        return 0;
    }
    if (!IsOpen() && (RetryPending() || !ReopenLogFile() || !IsOpen())) {
        return -1;
    }
    std::int64_t position = -1;
    for (const std::wstring& piece : Pieces(text, c.splitLines)) {
        wchar_t prefix[96] = {};
        _snwprintf(prefix, 95, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} ",
                   static_cast<unsigned long>(DisplayedRecordId(eventId, level)), time.wMonth,
                   time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds, threadId);
        std::wstring line = prefix;
        if (!user.empty()) {
            line += L"{" + user + L"} ";
        }
        line += piece;
        if (line.size() > kFileLineLimit) {
            line.resize(kFileLineLimit);
        }
        if (line.size() > 2 &&
            !::IsTextUnicode(line.data(), static_cast<int>(line.size() * sizeof(wchar_t)), nullptr)) {
            line = kNonUnicodeLine;
        }
        line += L"\r\n";

        // Where the previous line ended, unless the stream has been moved
        // since: a position query is two seeks under some systems.
        const std::streampos before = lineEnd_ != std::streampos(-1) ? lineEnd_ : stream_->tellp();
        if (before == std::streampos(-1)) {
            return -1;
        }
        if (!WriteLine(line)) {
            lineEnd_ = std::streampos(-1);
            return -1;
        }
        std::streampos after = stream_->tellp();
        if (after == std::streampos(-1)) {
            stream_->clear();
            stream_->seekp(before);
            after = before;
        }
        lineEnd_ = after;
        position = static_cast<std::int64_t>(std::streamoff(after));
    }
    lastFileErrno_ = 0;
    return position;
}

void FileOutput::Write(const LogRecord& record)
{
    const std::int64_t position =
        WriteFileRecord(record.time, record.threadId, record.level, record.text, record.eventId, record.user);
    const DebugLogConfig& c = Config();
    if (position <= 0 || c.debugLogSize <= 0 || position <= c.debugLogSize) {
        return;
    }
    if (c.autoRoll) {
        ReopenLogFile();
        return;
    }
    // Without rolling the file is written again from its start; the end
    // marker written on close tells a reader where the newest text stops.
    lineEnd_ = std::streampos(-1);
    stream_->seekp(0, std::ios::beg);
    WriteFileHeader();
}

void FileOutput::Maintain()
{
    const DebugLogConfig& c = Config();
    SYSTEMTIME now = {};
    clock_(&now);
    if (c.dailyFile && !SameDate(c.fileDate, now)) {
        if (!RetryPending()) {
            ReopenLogFile();
        }
        return;
    }
    if ((!IsOpen() || stream_->fail()) && ticks_() - lastReopen_ > kLogFileRetryMs) {
        ReopenLogFile();
    }
}

bool FileOutput::RetryPending() const noexcept
{
    return openFailed_ && ticks_() - lastReopen_ <= kLogFileRetryMs;
}
