// The stand-in as the code under test meets it: through the real COM runtime.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/util/unique_resource.h"
#include "mof_compiler_stand_in/mof_compiler_stand_in.h"
#include "registry_tree.h"

namespace {

const std::wstring kClassKey = L"Software\\Classes\\CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}";

// What the code under test passes as lOptionFlags.
constexpr LONG kOptionFlags = 0x108;

com_ptr<IMofCompiler> CreateCompiler(HRESULT* result = nullptr)
{
    com_ptr<IMofCompiler> compiler;
    const HRESULT hr = ::CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IMofCompiler, reinterpret_cast<void**>(compiler.put()));
    if (result != nullptr) {
        *result = hr;
    }
    return compiler;
}

// A status the stand-in must overwrite completely.
WBEM_COMPILE_STATUS_INFO Garbage()
{
    WBEM_COMPILE_STATUS_INFO status;
    std::memset(&status, 0xCD, sizeof status);
    return status;
}

void ExpectStatus(const WBEM_COMPILE_STATUS_INFO& expected, const WBEM_COMPILE_STATUS_INFO& actual)
{
    EXPECT_EQ(expected.lPhaseError, actual.lPhaseError);
    EXPECT_EQ(expected.hRes, actual.hRes);
    EXPECT_EQ(expected.ObjectNum, actual.ObjectNum);
    EXPECT_EQ(expected.FirstLine, actual.FirstLine);
    EXPECT_EQ(expected.LastLine, actual.LastLine);
    EXPECT_EQ(expected.dwOutFlags, actual.dwOutFlags);
}

class MofCompilerStandInTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override { ::CoUninitialize(); }
};

TEST_F(MofCompilerStandInTest, ComHandsOutTheRegisteredStandIn)
{
    MofCompilerStandIn standIn;
    const RegistryTree expected = {
        {L"", {}},
        {L"InprocServer32",
         {{L"", L"REG_SZ:" + MofCompilerStandIn::DllPath()}, {L"ThreadingModel", L"REG_SZ:Both"}}},
    };
    EXPECT_EQ(expected, ReadRegistryTree(HKEY_LOCAL_MACHINE, kClassKey));

    HRESULT hr = E_FAIL;
    com_ptr<IMofCompiler> compiler = CreateCompiler(&hr);
    ASSERT_EQ(S_OK, hr);
    ASSERT_TRUE(compiler);
    EXPECT_TRUE(com_query<IUnknown>(compiler.get()));
    HMODULE loaded = nullptr;
    ASSERT_TRUE(::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                     reinterpret_cast<LPCWSTR>(*reinterpret_cast<void**>(compiler.get())),
                                     &loaded));
    EXPECT_EQ(::GetModuleHandleW(MofCompilerStandIn::DllPath().c_str()), loaded)
        << "the object comes from the DLL the fixture controls";
    EXPECT_TRUE(standIn.Calls().empty());
}

TEST_F(MofCompilerStandInTest, CompileBufferIsRecordedExactlyAndAnsweredFromTheScript)
{
    MofCompilerStandIn standIn;
    WBEM_COMPILE_STATUS_INFO scripted = {};
    scripted.lPhaseError = 2;
    scripted.hRes = WBEM_E_INVALID_SYNTAX;
    scripted.ObjectNum = 3;
    scripted.FirstLine = 11;
    scripted.LastLine = 14;
    scripted.dwOutFlags = 0x5;
    standIn.Script(WBEM_S_FALSE, scripted);

    // Text, zero fill, and a last byte that shows nothing was cut short.
    std::vector<BYTE> buffer(1024, 0);
    const std::string text = "#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")\r\nclass X {};\r\n";
    std::copy(text.begin(), text.end(), buffer.begin());
    buffer.back() = 0x7F;

    com_ptr<IMofCompiler> compiler = CreateCompiler();
    ASSERT_TRUE(compiler);
    WBEM_COMPILE_STATUS_INFO status = Garbage();
    EXPECT_EQ(WBEM_S_FALSE, compiler->CompileBuffer(1024, buffer.data(), nullptr, nullptr, nullptr,
                                                    nullptr, kOptionFlags, 0, 0, &status));
    ExpectStatus(scripted, status);

    const std::vector<MofCall> calls = standIn.Calls();
    ASSERT_EQ(1u, calls.size());
    const MofCall& call = calls[0];
    EXPECT_EQ(MofCall::Buffer, call.kind);
    EXPECT_EQ(1024, call.bufferSize);
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.end()), call.buffer);
    EXPECT_FALSE(call.path);
    EXPECT_FALSE(call.serverAndNamespace);
    EXPECT_FALSE(call.user);
    EXPECT_FALSE(call.authority);
    EXPECT_FALSE(call.password);
    EXPECT_EQ(kOptionFlags, call.optionFlags);
    EXPECT_EQ(0, call.classFlags);
    EXPECT_EQ(0, call.instanceFlags);
    EXPECT_FALSE(call.statusNull);
}

TEST_F(MofCompilerStandInTest, CompileFileRecordsPathTextArgumentsAndFlags)
{
    struct Case {
        const wchar_t* path;
        const wchar_t* serverAndNamespace;
        const wchar_t* user;
        const wchar_t* authority;
        const wchar_t* password;
        LONG optionFlags, classFlags, instanceFlags;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\Router Client\\RouterClientPerf.mof", nullptr, nullptr, nullptr, nullptr,
         kOptionFlags, 0, 0},
        {L"Z:\\tmp\\r\u00e9sum\u00e9.mof", L"\\\\.\\root\\cimv2", L"admin", L"ntlmdomain:HOME",
         L"secret", WBEM_FLAG_CHECK_ONLY, WBEM_FLAG_UPDATE_ONLY, WBEM_FLAG_CREATE_ONLY},
    };
    MofCompilerStandIn standIn;
    com_ptr<IMofCompiler> compiler = CreateCompiler();
    ASSERT_TRUE(compiler);
    for (const Case& c : cases) {
        WBEM_COMPILE_STATUS_INFO status = Garbage();
        EXPECT_EQ(S_OK, compiler->CompileFile(const_cast<LPWSTR>(c.path),
                                              const_cast<LPWSTR>(c.serverAndNamespace),
                                              const_cast<LPWSTR>(c.user), const_cast<LPWSTR>(c.authority),
                                              const_cast<LPWSTR>(c.password), c.optionFlags,
                                              c.classFlags, c.instanceFlags, &status))
            << "an unscripted call succeeds";
        ExpectStatus(WBEM_COMPILE_STATUS_INFO{}, status);
    }
    EXPECT_EQ(WBEM_E_NOT_SUPPORTED,
              compiler->CreateBMOF(const_cast<LPWSTR>(L"a.mof"), const_cast<LPWSTR>(L"a.bmof"),
                                   nullptr, 1, 2, 3, nullptr));

    const auto text = [](const wchar_t* argument) {
        return argument != nullptr ? std::optional<std::wstring>(argument) : std::nullopt;
    };
    const std::vector<MofCall> calls = standIn.Calls();
    ASSERT_EQ(3u, calls.size());
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        EXPECT_EQ(MofCall::File, calls[i].kind);
        EXPECT_EQ(text(c.path), calls[i].path);
        EXPECT_EQ(text(c.serverAndNamespace), calls[i].serverAndNamespace);
        EXPECT_EQ(text(c.user), calls[i].user);
        EXPECT_EQ(text(c.authority), calls[i].authority);
        EXPECT_EQ(text(c.password), calls[i].password);
        EXPECT_EQ(c.optionFlags, calls[i].optionFlags);
        EXPECT_EQ(c.classFlags, calls[i].classFlags);
        EXPECT_EQ(c.instanceFlags, calls[i].instanceFlags);
        EXPECT_EQ(0, calls[i].bufferSize);
        EXPECT_TRUE(calls[i].buffer.empty());
        EXPECT_FALSE(calls[i].statusNull);
    }
    EXPECT_EQ(MofCall::Bmof, calls[2].kind);
    EXPECT_EQ(text(L"a.mof"), calls[2].path);
    EXPECT_EQ(text(L"a.bmof"), calls[2].bmofPath);
    EXPECT_EQ(1, calls[2].optionFlags);
    EXPECT_EQ(2, calls[2].classFlags);
    EXPECT_EQ(3, calls[2].instanceFlags);
    EXPECT_TRUE(calls[2].statusNull);
}

TEST_F(MofCompilerStandInTest, ScriptedAnswersComeInOrderAndTheLastRepeats)
{
    struct Answer {
        HRESULT result;
        LONG phase;
        HRESULT hRes;
        LONG objectNum;
    };
    const Answer script[] = {
        {S_OK, 0, S_OK, 0},
        {WBEM_S_FALSE, 3, static_cast<HRESULT>(WBEM_E_ACCESS_DENIED), 2},
    };
    const Answer expected[] = {script[0], script[1], script[1]};

    MofCompilerStandIn standIn;
    for (const Answer& a : script) {
        standIn.Script(a.result, a.phase, a.hRes, a.objectNum);
    }
    com_ptr<IMofCompiler> compiler = CreateCompiler();
    ASSERT_TRUE(compiler);
    BYTE buffer[1024] = {'x'};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        WBEM_COMPILE_STATUS_INFO status = Garbage();
        // Both kinds of compile call take from the one script.
        const HRESULT hr =
            i == 1 ? compiler->CompileFile(const_cast<LPWSTR>(L"C:\\a.mof"), nullptr, nullptr,
                                           nullptr, nullptr, kOptionFlags, 0, 0, &status)
                   : compiler->CompileBuffer(sizeof buffer, buffer, nullptr, nullptr, nullptr,
                                             nullptr, kOptionFlags, 0, 0, &status);
        EXPECT_EQ(expected[i].result, hr);
        WBEM_COMPILE_STATUS_INFO want = {};
        want.lPhaseError = expected[i].phase;
        want.hRes = expected[i].hRes;
        want.ObjectNum = expected[i].objectNum;
        ExpectStatus(want, status);
    }
    const std::vector<MofCall> calls = standIn.Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(MofCall::Buffer, calls[0].kind);
    EXPECT_EQ(MofCall::File, calls[1].kind);
    EXPECT_EQ(MofCall::Buffer, calls[2].kind);
}

TEST_F(MofCompilerStandInTest, WithoutTheFixtureTheClassIsNotRegistered)
{
    {
        MofCompilerStandIn standIn;
        com_ptr<IMofCompiler> compiler = CreateCompiler();
        ASSERT_TRUE(compiler);
        BYTE buffer[16] = {};
        EXPECT_EQ(S_OK, compiler->CompileBuffer(sizeof buffer, buffer, nullptr, nullptr, nullptr,
                                                nullptr, kOptionFlags, 0, 0, nullptr));
        const std::vector<MofCall> calls = standIn.Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_TRUE(calls[0].statusNull);
    }
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kClassKey));
    HRESULT hr = S_OK;
    EXPECT_FALSE(CreateCompiler(&hr));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);

    MofCompilerStandIn again;
    EXPECT_TRUE(again.Calls().empty()) << "a new fixture starts from no calls";
    ASSERT_TRUE(MofCompilerStandIn::Unregister());
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kClassKey));
    EXPECT_FALSE(CreateCompiler(&hr));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);
}

}  // namespace
