#pragma once

// Reference counting and QueryInterface, written once. A class derives from
// ComObject<I1, I2, ...> and answers for IUnknown and each listed interface;
// a class whose interfaces have further bases it must answer for overrides
// QueryOtherInterface. The count starts at 0: whoever creates the object
// takes the first reference through QueryInterface.

#include <windows.h>
#include <unknwn.h>

#include <new>
#include <utility>

template <typename First, typename... Rest>
class ComObject : public First, public Rest... {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        void* found = nullptr;
        if (riid == IID_IUnknown) {
            found = static_cast<First*>(this);
        } else {
            found = FindInterface<First, Rest...>(riid);
        }
        if (found == nullptr) {
            found = QueryOtherInterface(riid);
        }
        if (found == nullptr) {
            return E_NOINTERFACE;  // *ppv left as the caller had it
        }
        *ppv = found;
        AddRef();
        return S_OK;
    }

    STDMETHODIMP_(ULONG) AddRef() override
    {
        return static_cast<ULONG>(::InterlockedIncrement(&references_));
    }

    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG remaining = ::InterlockedDecrement(&references_);
        if (remaining == 0) {
            delete this;
        }
        return static_cast<ULONG>(remaining);
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    virtual void* QueryOtherInterface(REFIID) { return nullptr; }

private:
    template <typename I, typename... More>
    void* FindInterface(REFIID riid)
    {
        if (riid == __uuidof(I)) {
            return static_cast<I*>(this);
        }
        if constexpr (sizeof...(More) > 0) {
            return FindInterface<More...>(riid);
        } else {
            return nullptr;
        }
    }

    volatile LONG references_ = 0;
};

// Creates a T (reference count 0) and hands `riid` of it to the caller. When
// T does not answer for `riid` the object is destroyed again: nothing is left
// behind and *ppv stays as QueryInterface left it.
template <typename T, typename... Args>
HRESULT CreateComObject(REFIID riid, void** ppv, Args&&... args)
{
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = object->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
        delete object;  // never referenced
    }
    return hr;
}
