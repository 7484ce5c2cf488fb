#include "tools/wmi_host/host.h"

#include <vector>

#include "tools/wmi_host/host_state.h"
#include "tools/wmi_host/services.h"
#include "tools/wmi_host/wbem_object.h"

namespace wmihost {

namespace {

// Takes the first reference on a host object made with new.
template <typename T>
com_ptr<T> Adopt(T* object)
{
    object->AddRef();
    return com_ptr<T>(object);
}

}  // namespace

std::unique_ptr<Host> Host::FromMof(const std::wstring& mofPath, const std::wstring& className,
                                    std::wstring& error)
{
    std::vector<ClassDef> classes;
    if (!ReadMofClasses(mofPath, classes, error)) {
        return nullptr;
    }
    for (const ClassDef& definition : classes) {
        if (EqualsIgnoringCase(definition.name, className)) {
            return std::make_unique<Host>(definition);
        }
    }
    error = L"class " + className + L" is not defined in " + mofPath;
    return nullptr;
}

Host::Host(const ClassDef& definition)
    : state_(std::make_shared<HostState>()), definition_(std::make_shared<const ClassDef>(definition))
{
    classObject_ = Adopt(new WbemObject(state_, definition_, true));
    services_ = Adopt(new wmihost::Services(state_, com_ref(classObject_.get())));
}

Host::~Host() = default;

const ClassDef& Host::Definition() const { return *definition_; }

IWbemServices* Host::Services() const { return services_.get(); }

com_ptr<IWbemClassObject> Host::ClassObject() const
{
    return com_ref(static_cast<IWbemClassObject*>(classObject_.get()));
}

com_ptr<InitSink> Host::NewInitSink() { return Adopt(new InitSink(state_)); }

com_ptr<ObjectSink> Host::NewObjectSink() { return Adopt(new ObjectSink(state_)); }

com_ptr<HiPerfEnum> Host::NewEnum() { return Adopt(new HiPerfEnum(state_)); }

FaultPlan& Host::Faults() { return state_->faults; }

long Host::LiveObjects() const { return state_->liveObjects.load(); }

bool Host::ReadDword(IWbemObjectAccess* object, const wchar_t* property, DWORD& value)
{
    if (object == nullptr || property == nullptr) {
        return false;
    }
    if (const com_ptr<WbemObject> own = WbemObject::From(object)) {
        return own.get()->PeekDword(own.get()->FindProperty(property), value);
    }
    LONG handle = 0;
    CIMTYPE type = 0;
    return SUCCEEDED(object->GetPropertyHandle(property, &type, &handle)) &&
           SUCCEEDED(object->ReadDWORD(handle, &value));
}

bool Host::ReadString(IWbemObjectAccess* object, const wchar_t* property, std::wstring& value)
{
    if (object == nullptr || property == nullptr) {
        return false;
    }
    if (const com_ptr<WbemObject> own = WbemObject::From(object)) {
        return own.get()->PeekString(own.get()->FindProperty(property), value);
    }
    LONG handle = 0;
    CIMTYPE type = 0;
    if (FAILED(object->GetPropertyHandle(property, &type, &handle))) {
        return false;
    }
    LONG bytes = 0;
    HRESULT hr = object->ReadPropertyValue(handle, 0, &bytes, nullptr);
    if (hr != static_cast<HRESULT>(WBEM_E_BUFFER_TOO_SMALL) && FAILED(hr)) {
        return false;
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(bytes) / sizeof(wchar_t) + 1, L'\0');
    hr = object->ReadPropertyValue(handle, static_cast<LONG>(buffer.size() * sizeof(wchar_t)), &bytes,
                                   reinterpret_cast<byte*>(buffer.data()));
    if (FAILED(hr)) {
        return false;
    }
    value.assign(buffer.data());
    return true;
}

}  // namespace wmihost
