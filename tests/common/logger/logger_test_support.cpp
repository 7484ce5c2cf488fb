#include "logger_test_support.h"

void OutputJournal::Add(LogOutputKind kind, const LogRecord& record)
{
    std::lock_guard<std::mutex> guard(lock_);
    records_.push_back({kind, record});
}

void OutputJournal::AddEvent(const std::string& event)
{
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(event);
}

std::vector<WrittenRecord> OutputJournal::Records() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return records_;
}

std::vector<std::wstring> OutputJournal::Texts(LogOutputKind kind) const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::wstring> texts;
    for (const WrittenRecord& written : records_) {
        if (written.kind == kind) {
            texts.push_back(written.record.text);
        }
    }
    return texts;
}

std::vector<std::string> OutputJournal::Events() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

void OutputJournal::ClearEvents()
{
    std::lock_guard<std::mutex> guard(lock_);
    events_.clear();
}

const char* OutputName(LogOutputKind kind)
{
    switch (kind) {
    case LogOutputKind::EventLog:
        return "eventlog";
    case LogOutputKind::Console:
        return "console";
    case LogOutputKind::Syslog:
        return "syslog";
    case LogOutputKind::File:
        return "file";
    }
    return "?";
}

void MemoryOutput::Open()
{
    open_ = true;
    journal_.AddEvent(std::string("open ") + OutputName(kind_));
}

void MemoryOutput::Close()
{
    open_ = false;
    journal_.AddEvent(std::string("close ") + OutputName(kind_));
}

void MemoryOutput::Write(const LogRecord& record)
{
    if (!logger_.OutputAccepts(kind_, record.level)) {
        return;
    }
    if (hook_) {
        hook_(record);
    }
    journal_.Add(kind_, record);
}

std::vector<MemoryOutput*> InstallMemoryOutputs(DebugLogger& logger, OutputJournal& journal)
{
    std::vector<MemoryOutput*> outputs;
    for (LogOutputKind kind : {LogOutputKind::EventLog, LogOutputKind::Console,
                               LogOutputKind::Syslog, LogOutputKind::File}) {
        auto output = std::make_unique<MemoryOutput>(logger, kind, journal);
        outputs.push_back(output.get());
        logger.SetOutput(kind, std::move(output));
    }
    return outputs;
}

std::unique_ptr<DebugLogSettings> SettingsWithLevel(int level)
{
    auto settings = std::make_unique<DebugLogSettings>();
    settings->debugLogLevel = level;
    settings->eventLogLevel = level;
    settings->syslogLevel = level;
    settings->consoleLogLevel = level;
    return settings;
}
