// Null and out-of-range arguments for every entry point the module offers:
// each gives its answer, nothing crashes and nothing is handed out.

#include <climits>
#include <functional>

#include "WMIRouterClient/module.h"
#include "provider_fixture.h"

namespace {

constexpr const wchar_t* kClass = L"Win32_PerfRawData_Marrowfell_Router_Client";

class BadInputTest : public ProviderTest {};

TEST_F(BadInputTest, EveryEntryPointRefusesWhatItCannotUse)
{
    com_ptr<IClassFactory> factory;
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_RouterPerfClient, IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.put())));
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
    com_ptr<IWbemObjectAccess> templ = NewInstance(L"0");
    IWbemObjectAccess* object = nullptr;
    LONG id = -1;
    IWbemObjectAccess* withNull[2] = {templ.get(), nullptr};

    const struct {
        const char* what;
        std::function<HRESULT()> call;
        HRESULT expected;
    } cases[] = {
        {"DllGetClassObject, no out pointer",
         [] { return DllGetClassObject(CLSID_RouterPerfClient, IID_IClassFactory, nullptr); }, E_POINTER},
        {"DllGetClassObject, another class",
         [&] { return DllGetClassObject(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(&object)); },
         CLASS_E_CLASSNOTAVAILABLE},
        {"factory QueryInterface, no out pointer", [&] { return factory->QueryInterface(IID_IUnknown, nullptr); },
         E_POINTER},
        {"factory CreateInstance, no out pointer",
         [&] { return factory->CreateInstance(nullptr, IID_IWbemProviderInit, nullptr); }, E_POINTER},
        {"provider QueryInterface, no out pointer",
         [&] { return provider->QueryInterface(IID_IWbemHiPerfProvider, nullptr); }, E_POINTER},
        {"refresher QueryInterface, no out pointer",
         [&] { return refresher->QueryInterface(IID_IWbemRefresher, nullptr); }, E_POINTER},
        {"CreateRefresher, no namespace",
         [&] {
             com_ptr<IWbemRefresher> r;
             return provider->CreateRefresher(nullptr, 0, r.put());
         },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefresher, no out pointer", [&] { return provider->CreateRefresher(Services(), 0, nullptr); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject, no namespace",
         [&] { return provider->CreateRefreshableObject(nullptr, templ.get(), refresher.get(), 0, nullptr, &object, &id); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject, no template",
         [&] { return provider->CreateRefreshableObject(Services(), nullptr, refresher.get(), 0, nullptr, &object, &id); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject, no object out",
         [&] { return provider->CreateRefreshableObject(Services(), templ.get(), refresher.get(), 0, nullptr, nullptr, &id); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject, no id out",
         [&] { return provider->CreateRefreshableObject(Services(), templ.get(), refresher.get(), 0, nullptr, &object, nullptr); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableEnum, no enumerator",
         [&] { return provider->CreateRefreshableEnum(Services(), kClass, refresher.get(), 0, nullptr, nullptr, &id); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableEnum, no id out",
         [&] { return provider->CreateRefreshableEnum(Services(), kClass, refresher.get(), 0, nullptr, enumerator.get(), nullptr); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"StopRefreshing, an object id never handed out", [&] { return provider->StopRefreshing(refresher.get(), 10, 0); },
         Hr(WBEM_E_NOT_FOUND)},
        {"StopRefreshing, the largest id", [&] { return provider->StopRefreshing(refresher.get(), LONG_MAX, 0); },
         Hr(WBEM_E_NOT_FOUND)},
        {"StopRefreshing, an empty slot", [&] { return provider->StopRefreshing(refresher.get(), 9, 0); },
         Hr(WBEM_E_FAILED)},
        {"StopRefreshing, the smallest id", [&] { return provider->StopRefreshing(refresher.get(), LONG_MIN, 0); },
         Hr(WBEM_E_FAILED)},
        {"GetObjects, a null object in the array", [&] { return provider->GetObjects(Services(), 2, withNull, 0, nullptr); },
         Hr(WBEM_E_FAILED)},
        {"GetObjects, a negative count", [&] { return provider->GetObjects(Services(), LONG_MIN, withNull, 0, nullptr); },
         Hr(WBEM_E_INVALID_PARAMETER)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, c.call());
        EXPECT_EQ(nullptr, object) << "nothing handed out";
        EXPECT_EQ(-1, id);
        EXPECT_TRUE(enumerator->Objects().empty());
    }
    // Still fully usable afterwards.
    EXPECT_EQ(S_OK, refresher->Refresh(0));
    EXPECT_EQ(2, module::ObjectCount());
}

}  // namespace
