#include "common/environment/com_initializer.h"

ComInitializer::ComInitializer(DWORD model, bool deferred, bool throwOnError)
    : result_(S_OK), initialized_(false), model_(static_cast<std::int32_t>(model))
{
    if (!deferred) {
        Initialize(model, throwOnError);
    }
}

ComInitializer::~ComInitializer()
{
    Uninitialize();
}

ComInitializer& ComInitializer::Initialize(DWORD model, bool throwOnError)
{
    if (initialized_ && Model() == model) {
        return *this;
    }
    const HRESULT result = ::CoInitializeEx(nullptr, model);
    if (result == S_OK || result == S_FALSE) {
        // Each success counts once on the thread: give back the one held.
        Uninitialize();
        result_ = result;
        initialized_ = true;
        model_ = static_cast<std::int32_t>(model);
        return *this;
    }
    if (!initialized_) {
        result_ = result;
    }
    if (throwOnError) {
        if (result == RPC_E_CHANGED_MODE) {
            throw init_exception(
                "A previous call to CoInitializeEx specified a different concurrency model for "
                "the calling thread, or the thread that called CoInitializeEx currently belongs "
                "to the neutral threaded apartment.",
                result);
        }
        throw init_exception("Could not initialize COM", result);
    }
    return *this;
}

void ComInitializer::Uninitialize() noexcept
{
    if (initialized_ && (result_ == S_OK || result_ == S_FALSE)) {
        ::CoUninitialize();
    }
    initialized_ = false;
}
