#include "bench/provider_session.h"

#include <cwchar>

namespace bench {

std::unique_ptr<wmihost::Host> NewHost(std::wstring& error)
{
    return wmihost::Host::FromMof(FileBesideProgram(L"RouterClientPerf.mof"), kCounterClass, error);
}

std::wstring HexResult(HRESULT hr)
{
    wchar_t text[16] = {};
    _snwprintf(text, 15, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

bool ProviderSession::Load(std::wstring& error)
{
    if (!dll_.Load(FileBesideProgram(L"RouterPerfClient.dll").c_str())) {
        error = dll_.Error();
        return false;
    }
    HRESULT hr = dll_.GetClassObject(kRouterPerfClientClsid, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory_.put()));
    if (FAILED(hr)) {
        error = L"DllGetClassObject failed (" + HexResult(hr) + L")";
        return false;
    }
    hr = factory_->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(init_.put()));
    factory_.reset();
    if (FAILED(hr)) {
        error = L"the factory made no provider (" + HexResult(hr) + L")";
        return false;
    }
    return true;
}

bool ProviderSession::Initialize(std::wstring& error)
{
    com_ptr<wmihost::InitSink> sink = host_.NewInitSink();
    wchar_t ns[] = L"root\\cimv2";
    const HRESULT hr = init_->Initialize(nullptr, 0, ns, nullptr, host_.Services(), nullptr, sink.get());
    const auto statuses = sink->Statuses();
    if (FAILED(hr) || statuses.empty() || statuses.back().first != WBEM_S_INITIALIZED) {
        error = L"the provider did not initialise (" +
                HexResult(FAILED(hr) || statuses.empty() ? hr : statuses.back().first) + L")";
        return false;
    }
    provider_ = com_query<IWbemHiPerfProvider>(init_.get());
    init_.reset();
    if (!provider_) {
        error = L"the provider does not answer IWbemHiPerfProvider";
        return false;
    }
    return true;
}

bool ProviderSession::AddRefresher(RefresherSlot& slot, std::wstring& error)
{
    HRESULT hr = provider_->CreateRefresher(host_.Services(), 0, slot.refresher.put());
    if (FAILED(hr)) {
        error = L"CreateRefresher failed (" + HexResult(hr) + L")";
        return false;
    }
    slot.enumerator = host_.NewEnum();
    hr = provider_->CreateRefreshableEnum(host_.Services(), kCounterClass, slot.refresher.get(), 0, nullptr,
                                          slot.enumerator.get(), &slot.enumId);
    auto objects = slot.enumerator->Objects();
    if (FAILED(hr) || objects.empty()) {
        error = L"CreateRefreshableEnum failed (" + HexResult(hr) + L")";
        return false;
    }
    slot.instance = std::move(objects.front().second);
    return true;
}

void ProviderSession::RemoveRefresher(RefresherSlot& slot)
{
    if (provider_ && slot.refresher && slot.enumId >= 0) {
        provider_->StopRefreshing(slot.refresher.get(), slot.enumId, 0);
    }
    slot.instance.reset();
    slot.enumerator.reset();
    slot.refresher.reset();
    slot.enumId = -1;
}

void ProviderSession::Close()
{
    factory_.reset();
    init_.reset();
    provider_.reset();
    dll_.Unload();
}

DWORD ReadSrvConns(IWbemObjectAccess* instance)
{
    DWORD value = 0;
    return wmihost::Host::ReadDword(instance, L"srv_conns", value) ? value : 0;
}

}  // namespace bench
