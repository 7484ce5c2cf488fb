#pragma once

// Initialises COM on the calling thread for the lifetime of the object and
// undoes exactly the initialisation it made.

#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <stdexcept>
#include <string>

// A failed initialisation: the message and the HRESULT that caused it.
// Copies share the message, so copying never throws.
class init_exception : public std::runtime_error {
public:
    init_exception(const std::string& message, HRESULT result)
        : std::runtime_error(message), result_(result)
    {
    }
    HRESULT Result() const noexcept { return result_; }

private:
    HRESULT result_;
};

class ComInitializer {
public:
    // Unless deferred, initialises at once (see Initialize).
    explicit ComInitializer(DWORD model = COINIT_MULTITHREADED, bool deferred = false,
                            bool throwOnError = true);
    ~ComInitializer();

    ComInitializer(const ComInitializer&) = delete;
    ComInitializer& operator=(const ComInitializer&) = delete;

    // Nothing happens when already initialised with `model`. Failures throw
    // init_exception when throwOnError is set, and otherwise only show in
    // Initialized() and Result(). An initialisation held with another model
    // is kept when the new one fails and given back when it succeeds, so the
    // object always holds at most one.
    ComInitializer& Initialize(DWORD model, bool throwOnError);
    // Undoes the held initialisation, if any.
    void Uninitialize() noexcept;

    HRESULT Result() const noexcept { return result_; }
    bool Initialized() const noexcept { return initialized_; }
    DWORD Model() const noexcept { return static_cast<DWORD>(model_); }

private:
    HRESULT result_;
    bool initialized_;
    std::int32_t model_;
};
