#pragma once

// The class object and its instances, as WMI hands them to a provider: one
// type for both, answering IWbemClassObject and IWbemObjectAccess over the
// properties of one class definition.

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/util/com_object.h"
#include "common/util/unique_resource.h"
#include "tools/wmi_host/host_state.h"
#include "tools/wmi_host/mof_reader.h"

namespace wmihost {

class WbemObject final : public ComObject<IWbemObjectAccess> {
public:
    // Property handles start here, so a handle confused with an index or a
    // count does not happen to work.
    static constexpr LONG kFirstHandle = 100;

    WbemObject(std::shared_ptr<HostState> state, std::shared_ptr<const ClassDef> definition,
               bool isClass);

    // The host's own object behind `object`; empty for anyone else's object.
    static com_ptr<WbemObject> From(IUnknown* object);

    const ClassDef& Definition() const { return *definition_; }
    bool IsClass() const { return isClass_; }

    // The observer's path: no fault plan, no call counts.
    int FindProperty(const wchar_t* name) const;  // -1 when unknown
    bool PeekDword(int index, DWORD& value) const;
    bool PeekString(int index, std::wstring& value) const;

    // IWbemClassObject
    STDMETHODIMP GetQualifierSet(IWbemQualifierSet** ppQualSet) override;
    STDMETHODIMP Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override;
    STDMETHODIMP Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) override;
    STDMETHODIMP Delete(LPCWSTR wszName) override;
    STDMETHODIMP GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal,
                          SAFEARRAY** pNames) override;
    STDMETHODIMP BeginEnumeration(LONG lEnumFlags) override;
    STDMETHODIMP Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override;
    STDMETHODIMP EndEnumeration() override;
    STDMETHODIMP GetPropertyQualifierSet(LPCWSTR wszProperty, IWbemQualifierSet** ppQualSet) override;
    STDMETHODIMP Clone(IWbemClassObject** ppCopy) override;
    STDMETHODIMP GetObjectText(LONG lFlags, BSTR* pstrObjectText) override;
    STDMETHODIMP SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) override;
    STDMETHODIMP SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) override;
    STDMETHODIMP CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) override;
    STDMETHODIMP GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) override;
    STDMETHODIMP InheritsFrom(LPCWSTR strAncestor) override;
    STDMETHODIMP GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                           IWbemClassObject** ppOutSignature) override;
    STDMETHODIMP PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                           IWbemClassObject* pOutSignature) override;
    STDMETHODIMP DeleteMethod(LPCWSTR wszName) override;
    STDMETHODIMP BeginMethodEnumeration(LONG lEnumFlags) override;
    STDMETHODIMP NextMethod(LONG lFlags, BSTR* pstrName, IWbemClassObject** ppInSignature,
                            IWbemClassObject** ppOutSignature) override;
    STDMETHODIMP EndMethodEnumeration() override;
    STDMETHODIMP GetMethodQualifierSet(LPCWSTR wszMethod, IWbemQualifierSet** ppQualSet) override;
    STDMETHODIMP GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) override;

    // IWbemObjectAccess
    STDMETHODIMP GetPropertyHandle(LPCWSTR wszPropertyName, CIMTYPE* pType, LONG* plHandle) override;
    STDMETHODIMP WritePropertyValue(LONG lHandle, LONG lNumBytes, const byte* aData) override;
    STDMETHODIMP ReadPropertyValue(LONG lHandle, LONG lBufferSize, LONG* plNumBytes, byte* aData) override;
    STDMETHODIMP ReadDWORD(LONG lHandle, DWORD* pdw) override;
    STDMETHODIMP WriteDWORD(LONG lHandle, DWORD dw) override;
    STDMETHODIMP ReadQWORD(LONG lHandle, UINT64* pqw) override;
    STDMETHODIMP WriteQWORD(LONG lHandle, UINT64 pw) override;
    STDMETHODIMP GetPropertyInfoByHandle(LONG lHandle, BSTR* pstrName, CIMTYPE* pType) override;
    STDMETHODIMP Lock(LONG lFlags) override;
    STDMETHODIMP Unlock(LONG lFlags) override;

protected:
    void* QueryOtherInterface(REFIID riid) override;

private:
    // A string's text, or any other value's bits (zero-extended).
    struct Value {
        std::wstring text;
        std::uint64_t bits = 0;
    };

    bool Trip(FaultPlan::Operation op, HRESULT* hr) const { return counted_.Faults().Trip(op, hr); }
    int IndexOf(LONG handle) const;
    CIMTYPE TypeOf(int index) const { return definition_->properties[index].type; }
    HRESULT ReadFixed(LONG handle, CIMTYPE a, CIMTYPE b, std::uint64_t& bits) const;
    HRESULT WriteFixed(LONG handle, CIMTYPE a, CIMTYPE b, std::uint64_t bits);
    HRESULT GetSystemProperty(const std::wstring& name, VARIANT* pVal, CIMTYPE* pType) const;
    HRESULT NewObject(bool isClass, bool copyValues, IWbemClassObject** out) const;

    LiveCount counted_;
    std::shared_ptr<const ClassDef> definition_;
    const bool isClass_;

    // Guards values_. Recursive, because a caller that took Lock() still
    // reads and writes through the other methods on the same thread.
    mutable std::recursive_mutex lock_;
    std::vector<Value> values_;
    // The thread that holds Lock(), and how often; only it may Unlock().
    std::atomic<DWORD> lockOwner_{0};
    int lockDepth_ = 0;
};

}  // namespace wmihost
