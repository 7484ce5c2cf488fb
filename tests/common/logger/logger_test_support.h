#pragma once

// In-memory outputs for the logger under test: each records what reaches it
// after the logger's own level test, and when it is opened and closed. A
// written record can be made to block, fault or throw.

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/logger/debug_logger.h"

struct WrittenRecord {
    LogOutputKind kind;
    LogRecord record;
};

class OutputJournal {
public:
    void Add(LogOutputKind kind, const LogRecord& record);
    void AddEvent(const std::string& event);
    std::vector<WrittenRecord> Records() const;
    // The texts that reached one output, in order.
    std::vector<std::wstring> Texts(LogOutputKind kind) const;
    std::vector<std::string> Events() const;
    void ClearEvents();

private:
    mutable std::mutex lock_;
    std::vector<WrittenRecord> records_;
    std::vector<std::string> events_;
};

const char* OutputName(LogOutputKind kind);

class MemoryOutput : public LogOutput {
public:
    // Called with each record the output accepts, before it is recorded.
    using Hook = std::function<void(const LogRecord&)>;

    MemoryOutput(const DebugLogger& logger, LogOutputKind kind, OutputJournal& journal)
        : logger_(logger), kind_(kind), journal_(journal)
    {
    }

    void SetHook(Hook hook) { hook_ = std::move(hook); }

    void Open() override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    void Write(const LogRecord& record) override;

private:
    const DebugLogger& logger_;
    LogOutputKind kind_;
    OutputJournal& journal_;
    Hook hook_;
    bool open_ = false;
};

// Gives `logger` a memory output of every kind; answers them by kind.
std::vector<MemoryOutput*> InstallMemoryOutputs(DebugLogger& logger, OutputJournal& journal);

// A settings record with every level at `level` and nothing else set.
std::unique_ptr<DebugLogSettings> SettingsWithLevel(int level);
