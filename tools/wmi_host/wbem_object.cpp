#include "tools/wmi_host/wbem_object.h"

#include <oleauto.h>

#include <cstring>
#include <cwchar>
#include <new>

namespace wmihost {

namespace {

// Answered only by WbemObject: lets the host find its own object behind an
// interface pointer without trusting RTTI on somebody else's object.
const IID kWbemObjectSelf = {
    0x826545f5, 0x687c, 0x4c99, {0x94, 0x22, 0xf5, 0xfa, 0x05, 0x6f, 0xb7, 0x36}};

using Op = FaultPlan::Operation;

bool IsText(CIMTYPE type) { return type == CIM_STRING || type == CIM_DATETIME; }

// Bytes of a fixed-size value as IWbemObjectAccess moves it; 0 for text.
LONG FixedSize(CIMTYPE type)
{
    switch (type) {
    case CIM_UINT8:
    case CIM_SINT8:
        return 1;
    case CIM_UINT16:
    case CIM_SINT16:
    case CIM_CHAR16:
    case CIM_BOOLEAN:  // a VARIANT_BOOL
        return 2;
    case CIM_UINT32:
    case CIM_SINT32:
    case CIM_REAL32:
        return 4;
    case CIM_UINT64:
    case CIM_SINT64:
    case CIM_REAL64:
        return 8;
    default:
        return 0;
    }
}

bool IsSigned(CIMTYPE type)
{
    return type == CIM_SINT8 || type == CIM_SINT16 || type == CIM_SINT32 || type == CIM_SINT64;
}

// The bits of a value of `size` bytes, sign-extended for signed types.
std::int64_t SignedValue(std::uint64_t bits, LONG size)
{
    const int shift = 64 - 8 * static_cast<int>(size);
    return static_cast<std::int64_t>(bits << shift) >> shift;
}

template <typename F>
HRESULT Guarded(F&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    } catch (...) {
        return WBEM_E_FAILED;
    }
}

double RealValue(CIMTYPE type, std::uint64_t bits)
{
    if (type == CIM_REAL32) {
        float f = 0;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::wstring Quoted(const std::wstring& text)
{
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
        }
        out += c;
    }
    return out + L"\"";
}

}  // namespace

WbemObject::WbemObject(std::shared_ptr<HostState> state, std::shared_ptr<const ClassDef> definition,
                       bool isClass)
    : counted_(std::move(state)),
      definition_(std::move(definition)),
      isClass_(isClass),
      values_(definition_->properties.size())
{
}

com_ptr<WbemObject> WbemObject::From(IUnknown* object)
{
    void* self = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(kWbemObjectSelf, &self))) {
        return com_ptr<WbemObject>();
    }
    return com_ptr<WbemObject>(static_cast<WbemObject*>(self));
}

void* WbemObject::QueryOtherInterface(REFIID riid)
{
    if (riid == IID_IWbemClassObject) {
        return static_cast<IWbemClassObject*>(this);
    }
    if (riid == kWbemObjectSelf) {
        return this;
    }
    return nullptr;
}

int WbemObject::FindProperty(const wchar_t* name) const
{
    if (name == nullptr) {
        return -1;
    }
    const auto& properties = definition_->properties;
    for (size_t i = 0; i < properties.size(); ++i) {
        const std::wstring& known = properties[i].name;
        if (::CompareStringOrdinal(known.c_str(), static_cast<int>(known.size()), name, -1, TRUE) ==
            CSTR_EQUAL) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool WbemObject::PeekDword(int index, DWORD& value) const
{
    if (index < 0 || static_cast<size_t>(index) >= values_.size() || FixedSize(TypeOf(index)) != 4) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    value = static_cast<DWORD>(values_[index].bits);
    return true;
}

bool WbemObject::PeekString(int index, std::wstring& value) const
{
    if (index < 0 || static_cast<size_t>(index) >= values_.size() || !IsText(TypeOf(index))) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    value = values_[index].text;
    return true;
}

int WbemObject::IndexOf(LONG handle) const
{
    const LONG index = handle - kFirstHandle;
    return index >= 0 && static_cast<size_t>(index) < values_.size() ? static_cast<int>(index) : -1;
}

// ---- IWbemClassObject ----

STDMETHODIMP WbemObject::GetQualifierSet(IWbemQualifierSet** ppQualSet)
{
    if (ppQualSet != nullptr) {
        *ppQualSet = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT WbemObject::GetSystemProperty(const std::wstring& name, VARIANT* pVal, CIMTYPE* pType) const
{
    VARIANT value;
    ::VariantInit(&value);
    CIMTYPE type = CIM_STRING;
    const std::wstring* text = nullptr;
    if (EqualsIgnoringCase(name, L"__CLASS")) {
        text = &definition_->name;
    } else if (EqualsIgnoringCase(name, L"__SUPERCLASS")) {
        text = definition_->superclass.empty() ? nullptr : &definition_->superclass;
        V_VT(&value) = VT_NULL;
    } else if (EqualsIgnoringCase(name, L"__GENUS")) {
        type = CIM_SINT32;
        V_VT(&value) = VT_I4;
        V_I4(&value) = isClass_ ? WBEM_GENUS_CLASS : WBEM_GENUS_INSTANCE;
    } else {
        return WBEM_E_NOT_FOUND;
    }
    if (text != nullptr) {
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = ::SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
        if (V_BSTR(&value) == nullptr) {
            return WBEM_E_OUT_OF_MEMORY;
        }
    }
    if (pType != nullptr) {
        *pType = type;
    }
    if (pVal != nullptr) {
        *pVal = value;
    } else {
        ::VariantClear(&value);
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP WbemObject::Get(LPCWSTR wszName, LONG, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor)
{
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    return Guarded([&]() -> HRESULT {
        const std::wstring name(wszName);
        if (name.compare(0, 2, L"__") == 0) {
            const HRESULT hr = GetSystemProperty(name, pVal, pType);
            if (SUCCEEDED(hr) && plFlavor != nullptr) {
                *plFlavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
            }
            return hr;
        }
        const int index = FindProperty(wszName);
        if (index < 0) {
            return WBEM_E_NOT_FOUND;
        }
        const CIMTYPE type = TypeOf(index);
        VARIANT value;
        ::VariantInit(&value);
        if (pVal != nullptr) {
            Value copy;
            {
                std::lock_guard<std::recursive_mutex> guard(lock_);
                copy = values_[index];
            }
            const LONG size = FixedSize(type);
            const std::int64_t number = SignedValue(copy.bits, size == 0 ? 8 : size);
            std::wstring text;
            // WMI's own choice of VARIANT types: 32-bit unsigned values arrive as
            // VT_I4 and 64-bit values as decimal strings.
            switch (type) {
            case CIM_STRING:
            case CIM_DATETIME:
                text = copy.text;
                V_VT(&value) = VT_BSTR;
                break;
            case CIM_UINT64:
                text = std::to_wstring(copy.bits);
                V_VT(&value) = VT_BSTR;
                break;
            case CIM_SINT64:
                text = std::to_wstring(number);
                V_VT(&value) = VT_BSTR;
                break;
            case CIM_BOOLEAN:
                V_VT(&value) = VT_BOOL;
                V_BOOL(&value) = copy.bits != 0 ? VARIANT_TRUE : VARIANT_FALSE;
                break;
            case CIM_UINT8:
                V_VT(&value) = VT_UI1;
                V_UI1(&value) = static_cast<BYTE>(copy.bits);
                break;
            case CIM_SINT8:
            case CIM_SINT16:
            case CIM_CHAR16:
                V_VT(&value) = VT_I2;
                V_I2(&value) = static_cast<SHORT>(number);
                break;
            case CIM_UINT16:
                V_VT(&value) = VT_I4;
                V_I4(&value) = static_cast<LONG>(copy.bits);
                break;
            case CIM_UINT32:
            case CIM_SINT32:
                V_VT(&value) = VT_I4;
                V_I4(&value) = static_cast<LONG>(number);
                break;
            case CIM_REAL32:
                V_VT(&value) = VT_R4;
                V_R4(&value) = static_cast<float>(RealValue(type, copy.bits));
                break;
            case CIM_REAL64:
                V_VT(&value) = VT_R8;
                V_R8(&value) = RealValue(type, copy.bits);
                break;
            default:
                V_VT(&value) = VT_NULL;
                break;
            }
            if (V_VT(&value) == VT_BSTR) {
                V_BSTR(&value) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
                if (V_BSTR(&value) == nullptr) {
                    return WBEM_E_OUT_OF_MEMORY;
                }
            }
            *pVal = value;
        }
        if (pType != nullptr) {
            *pType = type;
        }
        if (plFlavor != nullptr) {
            *plFlavor = WBEM_FLAVOR_ORIGIN_LOCAL;
        }
        return WBEM_S_NO_ERROR;
    });
}

STDMETHODIMP WbemObject::Put(LPCWSTR wszName, LONG, VARIANT* pVal, CIMTYPE Type)
{
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    return Guarded([&]() -> HRESULT {
        if (std::wcsncmp(wszName, L"__", 2) == 0) {
            return WBEM_E_READ_ONLY;
        }
        const int index = FindProperty(wszName);
        if (index < 0) {
            return WBEM_E_NOT_FOUND;
        }
        const CIMTYPE type = TypeOf(index);
        if (Type != 0 && Type != type) {
            return WBEM_E_TYPE_MISMATCH;
        }
        Value value;
        const bool empty = pVal == nullptr || V_VT(pVal) == VT_NULL || V_VT(pVal) == VT_EMPTY;
        if (!empty && IsText(type)) {
            if (V_VT(pVal) != VT_BSTR) {
                return WBEM_E_TYPE_MISMATCH;
            }
            value.text.assign(V_BSTR(pVal) ? V_BSTR(pVal) : L"", ::SysStringLen(V_BSTR(pVal)));
        } else if (!empty) {
            const LONG size = FixedSize(type);
            VARTYPE target = VT_I8;
            if (type == CIM_BOOLEAN) {
                target = VT_BOOL;
            } else if (type == CIM_REAL32 || type == CIM_REAL64) {
                target = VT_R8;
            } else if (type == CIM_UINT64) {
                target = VT_UI8;
            }
            VARIANT converted;
            ::VariantInit(&converted);
            if (FAILED(::VariantChangeType(&converted, pVal, 0, target))) {
                return WBEM_E_TYPE_MISMATCH;
            }
            if (target == VT_BOOL) {
                value.bits = V_BOOL(&converted) ? 0xFFFF : 0;
            } else if (type == CIM_REAL32) {
                const float f = static_cast<float>(V_R8(&converted));
                std::memcpy(&value.bits, &f, sizeof f);
            } else if (type == CIM_REAL64) {
                std::memcpy(&value.bits, &V_R8(&converted), sizeof(double));
            } else if (target == VT_UI8) {
                value.bits = V_UI8(&converted);
            } else {
                const std::int64_t n = V_I8(&converted);
                // Signed or unsigned reading of the same width both fit: WMI
                // hands a uint32 out as VT_I4 and takes it back the same way.
                if (size < 8) {
                    const std::int64_t low = -(std::int64_t{1} << (8 * size - 1));
                    const std::int64_t high = (std::int64_t{1} << (8 * size)) - 1;
                    if (n < low || n > high) {
                        return WBEM_E_TYPE_MISMATCH;
                    }
                    value.bits = static_cast<std::uint64_t>(n) & ((std::uint64_t{1} << (8 * size)) - 1);
                } else {
                    value.bits = static_cast<std::uint64_t>(n);
                }
            }
        }
        std::lock_guard<std::recursive_mutex> guard(lock_);
        values_[index] = std::move(value);
        return WBEM_S_NO_ERROR;
    });
}

STDMETHODIMP WbemObject::Delete(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY** pNames)
{
    if (pNames != nullptr) {
        *pNames = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP WbemObject::BeginEnumeration(LONG) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::Next(LONG, BSTR* strName, VARIANT*, CIMTYPE*, LONG*)
{
    if (strName != nullptr) {
        *strName = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::EndEnumeration() { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet** ppQualSet)
{
    if (ppQualSet != nullptr) {
        *ppQualSet = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT WbemObject::NewObject(bool isClass, bool copyValues, IWbemClassObject** out) const
{
    com_ptr<WbemObject> object(new WbemObject(counted_.Shared(), definition_, isClass));
    object.get()->AddRef();
    if (copyValues) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        object.get()->values_ = values_;
    }
    *out = static_cast<IWbemClassObject*>(object.release());
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP WbemObject::Clone(IWbemClassObject** ppCopy)
{
    if (ppCopy == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    return Guarded([&] { return NewObject(isClass_, true, ppCopy); });
}

STDMETHODIMP WbemObject::GetObjectText(LONG, BSTR* pstrObjectText)
{
    if (pstrObjectText == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    return Guarded([&]() -> HRESULT {
        std::vector<Value> values;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            values = values_;
        }
        std::wstring text = isClass_ ? L"class " + definition_->name
                                     : L"instance of " + definition_->name;
        if (isClass_ && !definition_->superclass.empty()) {
            text += L" : " + definition_->superclass;
        }
        text += L"\n{\n";
        for (size_t i = 0; i < values.size(); ++i) {
            const PropertyDef& property = definition_->properties[i];
            const LONG size = FixedSize(property.type);
            std::wstring shown;
            if (IsText(property.type)) {
                shown = Quoted(values[i].text);
            } else if (property.type == CIM_BOOLEAN) {
                shown = values[i].bits != 0 ? L"TRUE" : L"FALSE";
            } else if (property.type == CIM_REAL32 || property.type == CIM_REAL64) {
                shown = std::to_wstring(RealValue(property.type, values[i].bits));
            } else if (IsSigned(property.type)) {
                shown = std::to_wstring(SignedValue(values[i].bits, size));
            } else {
                shown = std::to_wstring(values[i].bits);
            }
            text += L"\t";
            if (isClass_) {
                text += (property.key ? L"[key] " : L"") + CimTypeName(property.type) + L" ";
            }
            text += property.name + L" = " + shown + L";\n";
        }
        text += L"};\n";
        *pstrObjectText = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *pstrObjectText != nullptr ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
    });
}

STDMETHODIMP WbemObject::SpawnDerivedClass(LONG, IWbemClassObject** ppNewClass)
{
    if (ppNewClass != nullptr) {
        *ppNewClass = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance)
{
    HRESULT fault = S_OK;
    if (Trip(Op::SpawnInstance, &fault)) {
        return fault;
    }
    if (lFlags != 0 || ppNewInstance == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    // Spawned from an instance too, as WMI allows; the new one is empty either way.
    return Guarded([&] { return NewObject(false, false, ppNewInstance); });
}

STDMETHODIMP WbemObject::CompareTo(LONG, IWbemClassObject*) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::GetPropertyOrigin(LPCWSTR, BSTR* pstrClassName)
{
    if (pstrClassName != nullptr) {
        *pstrClassName = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::InheritsFrom(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::DeleteMethod(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::BeginMethodEnumeration(LONG) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::EndMethodEnumeration() { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP WbemObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** ppQualSet)
{
    if (ppQualSet != nullptr) {
        *ppQualSet = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP WbemObject::GetMethodOrigin(LPCWSTR, BSTR* pstrClassName)
{
    if (pstrClassName != nullptr) {
        *pstrClassName = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

// ---- IWbemObjectAccess ----

STDMETHODIMP WbemObject::GetPropertyHandle(LPCWSTR wszPropertyName, CIMTYPE* pType, LONG* plHandle)
{
    HRESULT fault = S_OK;
    if (Trip(Op::GetPropertyHandle, &fault)) {
        return fault;
    }
    if (wszPropertyName == nullptr || plHandle == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const int index = FindProperty(wszPropertyName);
    if (index < 0) {
        return WBEM_E_NOT_FOUND;
    }
    if (pType != nullptr) {
        *pType = TypeOf(index);
    }
    *plHandle = kFirstHandle + index;
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP WbemObject::WritePropertyValue(LONG lHandle, LONG lNumBytes, const byte* aData)
{
    HRESULT fault = S_OK;
    if (Trip(Op::WritePropertyValue, &fault)) {
        return fault;
    }
    const int index = IndexOf(lHandle);
    if (index < 0) {
        return WBEM_E_NOT_FOUND;
    }
    if (lNumBytes < 0 || (lNumBytes > 0 && aData == nullptr)) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const CIMTYPE type = TypeOf(index);
    if (!IsText(type)) {
        if (lNumBytes != FixedSize(type)) {
            return WBEM_E_TYPE_MISMATCH;
        }
        std::uint64_t bits = 0;
        std::memcpy(&bits, aData, static_cast<size_t>(lNumBytes));
        std::lock_guard<std::recursive_mutex> guard(lock_);
        values_[index].bits = bits;
        return WBEM_S_NO_ERROR;
    }
    if (lNumBytes % sizeof(wchar_t) != 0) {
        return WBEM_E_TYPE_MISMATCH;
    }
    return Guarded([&]() -> HRESULT {
        // The data need not be aligned, and the terminator may be left out.
        std::wstring text(static_cast<size_t>(lNumBytes) / sizeof(wchar_t), L'\0');
        if (!text.empty()) {
            std::memcpy(&text[0], aData, static_cast<size_t>(lNumBytes));
        }
        text.resize(std::wcslen(text.c_str()));
        std::lock_guard<std::recursive_mutex> guard(lock_);
        values_[index].text.swap(text);
        return WBEM_S_NO_ERROR;
    });
}

STDMETHODIMP WbemObject::ReadPropertyValue(LONG lHandle, LONG lBufferSize, LONG* plNumBytes, byte* aData)
{
    HRESULT fault = S_OK;
    if (Trip(Op::ReadPropertyValue, &fault)) {
        return fault;
    }
    if (plNumBytes == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const int index = IndexOf(lHandle);
    if (index < 0) {
        return WBEM_E_NOT_FOUND;
    }
    const CIMTYPE type = TypeOf(index);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const Value& value = values_[index];
    const LONG needed = IsText(type)
                            ? static_cast<LONG>((value.text.size() + 1) * sizeof(wchar_t))
                            : FixedSize(type);
    *plNumBytes = needed;
    if (lBufferSize < needed) {
        return WBEM_E_BUFFER_TOO_SMALL;
    }
    if (aData == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (IsText(type)) {
        std::memcpy(aData, value.text.c_str(), static_cast<size_t>(needed));
    } else {
        std::memcpy(aData, &value.bits, static_cast<size_t>(needed));
    }
    return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::ReadFixed(LONG handle, CIMTYPE a, CIMTYPE b, std::uint64_t& bits) const
{
    const int index = IndexOf(handle);
    if (index < 0) {
        return WBEM_E_NOT_FOUND;
    }
    if (TypeOf(index) != a && TypeOf(index) != b) {
        return WBEM_E_TYPE_MISMATCH;
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    bits = values_[index].bits;
    return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::WriteFixed(LONG handle, CIMTYPE a, CIMTYPE b, std::uint64_t bits)
{
    const int index = IndexOf(handle);
    if (index < 0) {
        return WBEM_E_NOT_FOUND;
    }
    if (TypeOf(index) != a && TypeOf(index) != b) {
        return WBEM_E_TYPE_MISMATCH;
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    values_[index].bits = bits;
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP WbemObject::ReadDWORD(LONG lHandle, DWORD* pdw)
{
    HRESULT fault = S_OK;
    if (Trip(Op::ReadDWORD, &fault)) {
        return fault;
    }
    if (pdw == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::uint64_t bits = 0;
    const HRESULT hr = ReadFixed(lHandle, CIM_UINT32, CIM_SINT32, bits);
    if (SUCCEEDED(hr)) {
        *pdw = static_cast<DWORD>(bits);
    }
    return hr;
}

STDMETHODIMP WbemObject::WriteDWORD(LONG lHandle, DWORD dw)
{
    HRESULT fault = S_OK;
    if (Trip(Op::WriteDWORD, &fault)) {
        return fault;
    }
    return WriteFixed(lHandle, CIM_UINT32, CIM_SINT32, dw);
}

STDMETHODIMP WbemObject::ReadQWORD(LONG lHandle, UINT64* pqw)
{
    if (pqw == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::uint64_t bits = 0;
    const HRESULT hr = ReadFixed(lHandle, CIM_UINT64, CIM_SINT64, bits);
    if (SUCCEEDED(hr)) {
        *pqw = bits;
    }
    return hr;
}

STDMETHODIMP WbemObject::WriteQWORD(LONG lHandle, UINT64 pw)
{
    return WriteFixed(lHandle, CIM_UINT64, CIM_SINT64, pw);
}

STDMETHODIMP WbemObject::GetPropertyInfoByHandle(LONG lHandle, BSTR* pstrName, CIMTYPE* pType)
{
    const int index = IndexOf(lHandle);
    if (index < 0) {
        return WBEM_E_NOT_FOUND;
    }
    if (pstrName != nullptr) {
        const std::wstring& name = definition_->properties[index].name;
        *pstrName = ::SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
        if (*pstrName == nullptr) {
            return WBEM_E_OUT_OF_MEMORY;
        }
    }
    if (pType != nullptr) {
        *pType = TypeOf(index);
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP WbemObject::Lock(LONG)
{
    lock_.lock();
    if (lockDepth_++ == 0) {
        lockOwner_.store(::GetCurrentThreadId());
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP WbemObject::Unlock(LONG)
{
    // Only the thread holding Lock() touches lockDepth_.
    if (lockOwner_.load() != ::GetCurrentThreadId()) {
        return WBEM_E_INVALID_OPERATION;
    }
    if (--lockDepth_ == 0) {
        lockOwner_.store(0);
    }
    lock_.unlock();
    return WBEM_S_NO_ERROR;
}

}  // namespace wmihost
