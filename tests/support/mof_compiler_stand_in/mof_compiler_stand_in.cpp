#include "mof_compiler_stand_in.h"

#include <stdexcept>
#include <utility>

#include "tools/host/provider_module.h"

namespace {

constexpr const wchar_t* kClassKey =
    L"Software\\Classes\\CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}";

template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& fn)
{
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (fn == nullptr) {
        throw std::runtime_error(std::string("MofCompilerStandIn.dll lacks ") + name);
    }
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& text)
{
    if (::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write the MOF compiler registration");
    }
}

}  // namespace

MofCompilerStandIn::MofCompilerStandIn()
{
    const std::wstring dll = DllPath();
    module_.reset(::LoadLibraryW(dll.c_str()));
    if (!module_) {
        throw std::runtime_error("cannot load MofCompilerStandIn.dll: error " +
                                 std::to_string(::GetLastError()));
    }
    Bind(module_.get(), "MofStandInReset", reset_);
    Bind(module_.get(), "MofStandInScript", script_);
    Bind(module_.get(), "MofStandInCallCount", callCount_);
    Bind(module_.get(), "MofStandInCall", call_);
    Bind(module_.get(), "MofStandInCallText", callText_);
    Bind(module_.get(), "MofStandInCallBuffer", callBuffer_);
    reset_();

    // Whatever an earlier run left there is not ours to keep.
    if (!Unregister()) {
        throw std::runtime_error("cannot remove an earlier MOF compiler registration");
    }
    try {
        unique_hkey server;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kClassKey) + L"\\InprocServer32").c_str(),
                              0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                              server.put(), nullptr) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot create the MOF compiler registration");
        }
        SetString(server.get(), nullptr, dll);
        SetString(server.get(), L"ThreadingModel", L"Both");
    } catch (...) {
        (void)Unregister();  // the first failure is the one to report
        throw;
    }
}

MofCompilerStandIn::~MofCompilerStandIn()
{
    // A destructor cannot report; the next constructor removes a leftover.
    (void)Unregister();
}

void MofCompilerStandIn::Script(HRESULT result, LONG phase, HRESULT hRes, LONG objectNum) const
{
    WBEM_COMPILE_STATUS_INFO status = {};
    status.lPhaseError = phase;
    status.hRes = hRes;
    status.ObjectNum = objectNum;
    Script(result, status);
}

void MofCompilerStandIn::Script(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status) const
{
    if (!script_(result, &status)) {
        throw std::runtime_error("cannot script the MOF compiler stand-in");
    }
}

std::vector<MofCall> MofCompilerStandIn::Calls() const
{
    const auto text = [this](LONG index, LONG which) -> std::optional<std::wstring> {
        const LONG length = callText_(index, which, nullptr, 0);
        if (length < 0) {
            return std::nullopt;
        }
        std::wstring argument(static_cast<std::size_t>(length) + 1, L'\0');
        callText_(index, which, &argument[0], length + 1);
        argument.resize(static_cast<std::size_t>(length));
        return argument;
    };

    std::vector<MofCall> calls;
    const LONG count = callCount_();
    for (LONG index = 0; index < count; ++index) {
        MofStandInCallInfo info = {};
        if (!call_(index, &info)) {
            throw std::runtime_error("cannot read a call of the MOF compiler stand-in");
        }
        MofCall call;
        call.kind = info.kind == MOF_STAND_IN_COMPILE_FILE     ? MofCall::File
                    : info.kind == MOF_STAND_IN_COMPILE_BUFFER ? MofCall::Buffer
                                                               : MofCall::Bmof;
        call.path = text(index, MOF_STAND_IN_FILE_NAME);
        call.bmofPath = text(index, MOF_STAND_IN_BMOF_FILE_NAME);
        call.serverAndNamespace = text(index, MOF_STAND_IN_SERVER_AND_NAMESPACE);
        call.user = text(index, MOF_STAND_IN_USER);
        call.authority = text(index, MOF_STAND_IN_AUTHORITY);
        call.password = text(index, MOF_STAND_IN_PASSWORD);
        call.bufferSize = info.bufferSize;
        call.buffer.resize(static_cast<std::size_t>(info.bufferBytes));
        if (callBuffer_(index, call.buffer.data(), info.bufferBytes) != info.bufferBytes) {
            throw std::runtime_error("cannot read a buffer of the MOF compiler stand-in");
        }
        call.optionFlags = info.optionFlags;
        call.classFlags = info.classFlags;
        call.instanceFlags = info.instanceFlags;
        call.statusNull = info.statusNull != FALSE;
        calls.push_back(std::move(call));
    }
    return calls;
}

bool MofCompilerStandIn::Unregister()
{
    // RegDeleteTreeW removes the key itself with everything below it.
    const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        unique_hkey left;
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, left.put()) ==
               ERROR_FILE_NOT_FOUND;
    }
    return false;
}

std::wstring MofCompilerStandIn::DllPath()
{
    return FileBesideProgram(L"MofCompilerStandIn.dll");
}
