// The WMI stand-in the provider is tested against: its reading of the class
// file, the objects it hands out, its fault plan and its count of live objects.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/wmi_host/host.h"

namespace {

using wmihost::ClassDef;
using wmihost::FaultPlan;
using wmihost::Host;
using Op = FaultPlan::Operation;

const wchar_t kRouterClass[] = L"Win32_PerfRawData_Marrowfell_Router_Client";

// WBEMSTATUS is an unsigned enum; HRESULTs are signed.
constexpr HRESULT Hr(WBEMSTATUS status) { return static_cast<HRESULT>(status); }

std::unique_ptr<Host> RouterHost()
{
    std::wstring error;
    std::unique_ptr<Host> host = Host::FromMof(ROUTER_MOF_PATH, kRouterClass, error);
    EXPECT_TRUE(host) << std::string(error.begin(), error.end());
    return host;
}

com_ptr<IWbemObjectAccess> Spawn(IWbemClassObject* from)
{
    com_ptr<IWbemClassObject> instance;
    EXPECT_EQ(S_OK, from->SpawnInstance(0, instance.put()));
    return com_query<IWbemObjectAccess>(instance.get());
}

LONG Handle(IWbemObjectAccess* object, const wchar_t* property)
{
    LONG handle = 0;
    EXPECT_EQ(S_OK, object->GetPropertyHandle(property, nullptr, &handle)) << property;
    return handle;
}

HRESULT WriteText(IWbemObjectAccess* object, LONG handle, const std::wstring& text, bool terminated = true)
{
    const size_t units = text.size() + (terminated ? 1 : 0);
    return object->WritePropertyValue(handle, static_cast<LONG>(units * sizeof(wchar_t)),
                                      reinterpret_cast<const byte*>(text.c_str()));
}

std::wstring ReadText(IWbemObjectAccess* object, LONG handle)
{
    wchar_t buffer[256] = {};
    LONG bytes = 0;
    EXPECT_EQ(S_OK, object->ReadPropertyValue(handle, sizeof buffer, &bytes, reinterpret_cast<byte*>(buffer)));
    return std::wstring(buffer);
}

std::vector<ClassDef> Parse(const wchar_t* text)
{
    std::vector<ClassDef> classes;
    std::wstring error;
    EXPECT_TRUE(wmihost::ParseMofClasses(text, classes, error)) << std::string(error.begin(), error.end());
    return classes;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// ---- the class file ----

TEST(MofReader, ReadsTheRouterClientClassFromItsFile)
{
    std::vector<ClassDef> classes;
    std::wstring error;
    ASSERT_TRUE(wmihost::ReadMofClasses(ROUTER_MOF_PATH, classes, error)) << Narrow(error);
    EXPECT_EQ(L"", error);
    ASSERT_EQ(1u, classes.size()) << "the two provider registrations are instances, not classes";

    const ClassDef& c = classes[0];
    EXPECT_EQ(kRouterClass, c.name);
    EXPECT_EQ(L"Win32_PerfRawData", c.superclass);
    EXPECT_EQ(L"TRUE", c.qualifiers.at(L"dynamic"));
    EXPECT_EQ(L"RouterPerfClient", c.qualifiers.at(L"Provider")) << "qualifier names ignore case";
    EXPECT_EQ(L"TRUE", c.qualifiers.at(L"HIPERF"));
    EXPECT_EQ(L"1033", c.qualifiers.at(L"locale"));
    EXPECT_EQ(L"Marrowfell Router Client", c.qualifiers.at(L"DisplayName"));

    ASSERT_EQ(6u, c.properties.size());
    EXPECT_EQ(L"Name", c.properties[0].name);
    EXPECT_EQ(CIM_STRING, c.properties[0].type);
    EXPECT_TRUE(c.properties[0].key);

    const struct {
        const wchar_t* name;
        const wchar_t* displayName;
    } counters[] = {
        {L"bypass_rcvd_msg", L"Bypass messages received"},
        {L"bypass_sent_msg", L"Bypass messages sent"},
        {L"dev_conns", L"Device connections"},
        {L"work_queue_size", L"Work queue size"},
        {L"srv_conns", L"Server connections"},
    };
    for (size_t i = 0; i < 5; ++i) {
        const wmihost::PropertyDef& p = c.properties[i + 1];
        EXPECT_EQ(counters[i].name, p.name);
        EXPECT_EQ(CIM_UINT32, p.type) << Narrow(p.name);
        EXPECT_FALSE(p.key) << "Name is the only key; " << Narrow(p.name) << " is not";
        EXPECT_EQ(L"65536", p.qualifiers.at(L"CounterType")) << Narrow(p.name);
        EXPECT_EQ(counters[i].displayName, p.qualifiers.at(L"displayname")) << Narrow(p.name);
    }
}

TEST(MofReader, MissingFileNamesThePath)
{
    std::vector<ClassDef> classes;
    std::wstring error;
    EXPECT_FALSE(wmihost::ReadMofClasses(L"Z:\\no\\such\\classes.mof", classes, error));
    EXPECT_EQ(0u, error.find(L"cannot open Z:\\no\\such\\classes.mof: 3 - ")) << Narrow(error);
    EXPECT_TRUE(classes.empty());
}

TEST(MofReader, ReadsQualifierValuesAndEveryScalarType)
{
    const std::vector<ClassDef> classes = Parse(
        L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\x\")\n"
        L"/* a block\n comment */\n"
        L"instance of __Thing as $t { Nested = { 1, 2 }; Text = \"}\"; };\n"
        L"[Description(\"say \\\"hi\\\"\\n\" \" twice\\x41\"), Abstract, Level(-12) : ToSubclass, Off(false)]\n"
        L"class Base\n"
        L"{\n"
        L"  [key(FALSE)] string s;  [KEY] DateTime when;\n"
        L"  boolean b; char16 c; uint8 u8; sint8 s8; uint16 u16; sint16 s16;\n"
        L"  uint32 u32; SINT32 s32; uint64 u64; sint64 s64; real32 r32; real64 r64;\n"
        L"};\n"
        L"class Derived : Base { };\n");
    ASSERT_EQ(2u, classes.size());
    const ClassDef& base = classes[0];
    EXPECT_EQ(L"", base.superclass);
    EXPECT_EQ(L"say \"hi\"\n twiceA", base.qualifiers.at(L"description"));
    EXPECT_EQ(L"TRUE", base.qualifiers.at(L"abstract"));
    EXPECT_EQ(L"-12", base.qualifiers.at(L"level"));
    EXPECT_EQ(L"FALSE", base.qualifiers.at(L"off"));

    const CIMTYPE types[] = {CIM_STRING, CIM_DATETIME, CIM_BOOLEAN, CIM_CHAR16, CIM_UINT8,
                             CIM_SINT8,  CIM_UINT16,   CIM_SINT16,  CIM_UINT32, CIM_SINT32,
                             CIM_UINT64, CIM_SINT64,   CIM_REAL32,  CIM_REAL64};
    ASSERT_EQ(14u, base.properties.size());
    for (size_t i = 0; i < 14; ++i) {
        EXPECT_EQ(types[i], base.properties[i].type) << Narrow(base.properties[i].name);
        EXPECT_EQ(i == 1, base.properties[i].key) << Narrow(base.properties[i].name);
    }
    EXPECT_EQ(L"Derived", classes[1].name);
    EXPECT_EQ(L"Base", classes[1].superclass);
    EXPECT_TRUE(classes[1].properties.empty());
}

TEST(MofReader, MalformedTextFailsWithTheLineAndTheReason)
{
    const struct {
        const wchar_t* text;
        const wchar_t* error;
    } cases[] = {
        {L"class A\n{\n  uint33 x;\n};", L"line 3: unknown type 'uint33'"},
        {L"class A {\n  uint32 x\n  uint32 y;\n};", L"line 2: expected ';' after property x"},
        {L"class A {\n};\nclass B {\n}\nclass C {};", L"line 4: expected ';' after class B"},
        {L"instance of X\n{\n  a = 1;\n}\n", L"line 4: expected ';' after instance of X"},
        {L"\nclass A {\n  uint32 x;\n", L"line 2: class A: '{' is never closed"},
        {L"instance of X\n{\n  a = { 1 };\n", L"line 2: instance of X: '{' is never closed"},
        {L"[Description(\"abc)]\nclass A {};", L"line 1: string is never closed"},
        {L"// fine\n/* open\n\nclass A {};", L"line 2: comment is never closed"},
        {L"[dynamic,\nprovider(\"p\")", L"line 1: qualifier list '[' is never closed"},
        {L"class A {\n  [key string Name;\n};", L"line 2: expected ',' after qualifier key, found 'string'"},
        {L"class A {\n  uint32 F();\n};", L"line 2: property F: methods, arrays and default values are not supported"},
        {L"class A {\n  uint32 x;\n  string X;\n};", L"line 3: property X is declared twice"},
        {L"\n\nuint32 x;", L"line 3: expected 'class' or 'instance of', found 'uint32'"},
        {L"#include \"other.mof\"\n", L"line 1: unknown directive"},
    };
    for (const auto& c : cases) {
        std::vector<ClassDef> classes;
        std::wstring error;
        EXPECT_FALSE(wmihost::ParseMofClasses(c.text, classes, error)) << Narrow(c.text);
        EXPECT_EQ(c.error, error) << Narrow(c.text);
    }
}

// ---- the namespace and the class object ----

TEST(Services, GetObjectAnswersForItsClassOnly)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemClassObject> classObject = host->ClassObject();
    const struct {
        const wchar_t* path;
        HRESULT expected;
    } cases[] = {
        {kRouterClass, S_OK},
        {L"WIN32_PERFRAWDATA_MARROWFELL_ROUTER_CLIENT", S_OK},
        {L"Win32_PerfRawData", Hr(WBEM_E_NOT_FOUND)},
        {L"Win32_PerfRawData_Marrowfell_Router_Client.Name=\"0\"", Hr(WBEM_E_NOT_FOUND)},
        {L"", Hr(WBEM_E_NOT_FOUND)},
        {nullptr, Hr(WBEM_E_INVALID_PARAMETER)},
    };
    for (const auto& c : cases) {
        BSTR path = c.path ? ::SysAllocString(c.path) : nullptr;
        IWbemClassObject* object = reinterpret_cast<IWbemClassObject*>(0x5A5A);
        IWbemCallResult* callResult = reinterpret_cast<IWbemCallResult*>(0x5A5A);
        EXPECT_EQ(c.expected, host->Services()->GetObject(path, 0, nullptr, &object, &callResult))
            << (c.path ? Narrow(c.path) : "null");
        EXPECT_EQ(nullptr, callResult);
        if (c.expected == S_OK) {
            EXPECT_EQ(classObject.get(), object) << "the one class object";
            object->Release();
        } else if (c.path != nullptr) {
            EXPECT_EQ(nullptr, object);
        }
        ::SysFreeString(path);
    }
    IEnumWbemClassObject* enumerator = nullptr;
    EXPECT_EQ(Hr(WBEM_E_NOT_SUPPORTED),
              host->Services()->CreateInstanceEnum(nullptr, 0, nullptr, &enumerator));
    EXPECT_EQ(2, host->LiveObjects()) << "services, class object and nothing else";
}

TEST(WbemObject, AnswersForTheInterfacesWmiObjectsHave)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemClassObject> classObject = host->ClassObject();
    const com_ptr<IUnknown> identity = com_query<IUnknown>(classObject.get());
    const com_ptr<IWbemObjectAccess> access = com_query<IWbemObjectAccess>(classObject.get());
    ASSERT_TRUE(access);
    EXPECT_EQ(identity.get(), com_query<IUnknown>(access.get()).get());
    EXPECT_EQ(classObject.get(), com_query<IWbemClassObject>(access.get()).get());
    HRESULT hr = S_OK;
    EXPECT_FALSE(com_query<IWbemServices>(classObject.get(), &hr));
    EXPECT_EQ(E_NOINTERFACE, hr);
}

TEST(WbemObject, HandlesAreSharedByTheClassAndItsInstances)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemObjectAccess> classAccess = com_query<IWbemObjectAccess>(host->ClassObject().get());
    const com_ptr<IWbemObjectAccess> instance = Spawn(host->ClassObject().get());
    ASSERT_TRUE(classAccess && instance);

    std::vector<LONG> seen;
    for (const auto& property : host->Definition().properties) {
        CIMTYPE type = 0;
        LONG handle = 0;
        ASSERT_EQ(S_OK, instance.get()->GetPropertyHandle(property.name.c_str(), &type, &handle));
        EXPECT_EQ(property.type, type);
        LONG fromClass = 0;
        EXPECT_EQ(S_OK, classAccess.get()->GetPropertyHandle(property.name.c_str(), nullptr, &fromClass));
        EXPECT_EQ(handle, fromClass);
        for (LONG other : seen) {
            EXPECT_NE(other, handle);
        }
        seen.push_back(handle);

        BSTR name = nullptr;
        EXPECT_EQ(S_OK, instance.get()->GetPropertyInfoByHandle(handle, &name, &type));
        EXPECT_EQ(property.name, name);
        ::SysFreeString(name);
    }
    LONG handle = -1;
    EXPECT_EQ(S_OK, instance.get()->GetPropertyHandle(L"DEV_CONNS", nullptr, &handle));
    EXPECT_EQ(Handle(instance.get(), L"dev_conns"), handle);
    EXPECT_EQ(Hr(WBEM_E_NOT_FOUND), instance.get()->GetPropertyHandle(L"Timestamp_PerfTime", nullptr, &handle));
    EXPECT_EQ(Hr(WBEM_E_INVALID_PARAMETER), instance.get()->GetPropertyHandle(L"Name", nullptr, nullptr));
}

TEST(WbemObject, TypedValuesRoundTripAndStayInTheirInstance)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const long start = host->LiveObjects();
    {
        const com_ptr<IWbemClassObject> classObject = host->ClassObject();
        const com_ptr<IWbemObjectAccess> a = Spawn(classObject.get());
        const com_ptr<IWbemObjectAccess> b = Spawn(classObject.get());
        ASSERT_TRUE(a && b);
        const LONG name = Handle(a.get(), L"Name");
        const LONG devConns = Handle(a.get(), L"dev_conns");
        const LONG srvConns = Handle(a.get(), L"srv_conns");

        EXPECT_EQ(S_OK, WriteText(a.get(), name, L"0"));
        EXPECT_EQ(S_OK, WriteText(b.get(), name, L"second", false)) << "the terminator may be left out";
        EXPECT_EQ(S_OK, a.get()->WriteDWORD(devConns, 0xFFFFFFFFu));
        const DWORD raw = 17;
        EXPECT_EQ(S_OK, b.get()->WritePropertyValue(srvConns, sizeof raw, reinterpret_cast<const byte*>(&raw)));

        DWORD value = 0;
        EXPECT_EQ(S_OK, a.get()->ReadDWORD(devConns, &value));
        EXPECT_EQ(0xFFFFFFFFu, value);
        EXPECT_EQ(S_OK, b.get()->ReadDWORD(devConns, &value));
        EXPECT_EQ(0u, value) << "instances do not share values";
        EXPECT_EQ(S_OK, b.get()->ReadDWORD(srvConns, &value));
        EXPECT_EQ(17u, value);
        EXPECT_EQ(L"0", ReadText(a.get(), name));
        EXPECT_EQ(L"second", ReadText(b.get(), name));
        const com_ptr<IWbemObjectAccess> classAccess = com_query<IWbemObjectAccess>(classObject.get());
        EXPECT_EQ(L"", ReadText(classAccess.get(), name)) << "the class keeps its own empty values";

        // What IWbemClassObject::Get reports: a BSTR, and a uint32 as VT_I4.
        VARIANT v;
        ::VariantInit(&v);
        CIMTYPE type = 0;
        ASSERT_EQ(S_OK, a.get()->Get(L"name", 0, &v, &type, nullptr));
        EXPECT_EQ(VT_BSTR, V_VT(&v));
        EXPECT_EQ(CIM_STRING, type);
        EXPECT_STREQ(L"0", V_BSTR(&v));
        ::VariantClear(&v);
        ASSERT_EQ(S_OK, a.get()->Get(L"dev_conns", 0, &v, &type, nullptr));
        EXPECT_EQ(VT_I4, V_VT(&v));
        EXPECT_EQ(CIM_UINT32, type);
        EXPECT_EQ(-1, V_I4(&v));
        ::VariantClear(&v);
        ASSERT_EQ(S_OK, a.get()->Get(L"__CLASS", 0, &v, nullptr, nullptr));
        EXPECT_STREQ(kRouterClass, V_BSTR(&v));
        ::VariantClear(&v);

        V_VT(&v) = VT_I4;
        V_I4(&v) = 42;
        EXPECT_EQ(S_OK, a.get()->Put(L"work_queue_size", 0, &v, 0));
        EXPECT_EQ(S_OK, a.get()->ReadDWORD(Handle(a.get(), L"work_queue_size"), &value));
        EXPECT_EQ(42u, value);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = ::SysAllocString(L"put");
        EXPECT_EQ(S_OK, a.get()->Put(L"Name", 0, &v, CIM_STRING));
        EXPECT_EQ(Hr(WBEM_E_TYPE_MISMATCH), a.get()->Put(L"dev_conns", 0, &v, 0)) << "not a number";
        ::VariantClear(&v);
        EXPECT_EQ(L"put", ReadText(a.get(), name));

        // A clone starts with the same values and then goes its own way.
        com_ptr<IWbemClassObject> cloned;
        ASSERT_EQ(S_OK, a.get()->Clone(cloned.put()));
        const com_ptr<IWbemObjectAccess> clone = com_query<IWbemObjectAccess>(cloned.get());
        EXPECT_EQ(L"put", ReadText(clone.get(), name));
        EXPECT_EQ(S_OK, clone.get()->WriteDWORD(devConns, 5));
        EXPECT_EQ(S_OK, a.get()->ReadDWORD(devConns, &value));
        EXPECT_EQ(0xFFFFFFFFu, value);

        BSTR text = nullptr;
        ASSERT_EQ(S_OK, clone.get()->GetObjectText(0, &text));
        EXPECT_NE(nullptr, std::wcsstr(text, L"instance of Win32_PerfRawData_Marrowfell_Router_Client"));
        EXPECT_NE(nullptr, std::wcsstr(text, L"Name = \"put\";"));
        EXPECT_NE(nullptr, std::wcsstr(text, L"dev_conns = 5;"));
        ::SysFreeString(text);

        // The wrong handle, type or size changes nothing.
        const DWORD four = 4;
        UINT64 wide = 0;
        const struct {
            const char* call;
            HRESULT result;
            HRESULT expected;
        } refusals[] = {
            {"WriteDWORD on a string", a.get()->WriteDWORD(name, 1), Hr(WBEM_E_TYPE_MISMATCH)},
            {"ReadDWORD on a string", a.get()->ReadDWORD(name, &value), Hr(WBEM_E_TYPE_MISMATCH)},
            {"ReadQWORD on a uint32", a.get()->ReadQWORD(devConns, &wide), Hr(WBEM_E_TYPE_MISMATCH)},
            {"2 bytes for a uint32",
             a.get()->WritePropertyValue(devConns, 2, reinterpret_cast<const byte*>(&four)), Hr(WBEM_E_TYPE_MISMATCH)},
            {"handle 0", a.get()->WriteDWORD(0, 1), Hr(WBEM_E_NOT_FOUND)},
            {"handle before the first", a.get()->WriteDWORD(name - 1, 1), Hr(WBEM_E_NOT_FOUND)},
            {"handle after the last", a.get()->WriteDWORD(srvConns + 1, 1), Hr(WBEM_E_NOT_FOUND)},
            {"WritePropertyValue, unknown handle",
             a.get()->WritePropertyValue(srvConns + 1, 4, reinterpret_cast<const byte*>(&four)), Hr(WBEM_E_NOT_FOUND)},
        };
        for (const auto& r : refusals) {
            EXPECT_EQ(r.expected, r.result) << r.call;
        }
        EXPECT_EQ(S_OK, a.get()->ReadDWORD(devConns, &value));
        EXPECT_EQ(0xFFFFFFFFu, value);
        EXPECT_EQ(L"put", ReadText(a.get(), name));
    }
    EXPECT_EQ(start, host->LiveObjects());
}

TEST(WbemObject, SixtyFourBitValuesAreQwordsAndDecimalTextInVariants)
{
    const std::vector<ClassDef> classes = Parse(L"class Wide { uint64 u; sint64 s; uint32 d; };");
    ASSERT_EQ(1u, classes.size());
    Host host(classes[0]);
    const com_ptr<IWbemObjectAccess> o = Spawn(host.ClassObject().get());
    ASSERT_TRUE(o);
    const LONG u = Handle(o.get(), L"u");
    const LONG s = Handle(o.get(), L"s");
    EXPECT_EQ(S_OK, o.get()->WriteQWORD(u, 0xFFFFFFFFFFFFFFFFull));
    EXPECT_EQ(S_OK, o.get()->WriteQWORD(s, static_cast<UINT64>(-5)));
    EXPECT_EQ(Hr(WBEM_E_TYPE_MISMATCH), o.get()->WriteDWORD(u, 1));
    EXPECT_EQ(Hr(WBEM_E_TYPE_MISMATCH), o.get()->WriteQWORD(Handle(o.get(), L"d"), 1));
    UINT64 q = 0;
    EXPECT_EQ(S_OK, o.get()->ReadQWORD(u, &q));
    EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, q);

    const struct {
        const wchar_t* name;
        const wchar_t* text;
    } cases[] = {{L"u", L"18446744073709551615"}, {L"s", L"-5"}};
    for (const auto& c : cases) {
        VARIANT v;
        ::VariantInit(&v);
        ASSERT_EQ(S_OK, o.get()->Get(c.name, 0, &v, nullptr, nullptr));
        ASSERT_EQ(VT_BSTR, V_VT(&v));
        EXPECT_STREQ(c.text, V_BSTR(&v));
        ::VariantClear(&v);
    }
}

TEST(WbemObject, ReadPropertyValueReportsTheSizeItNeeds)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemObjectAccess> o = Spawn(host->ClassObject().get());
    ASSERT_TRUE(o);
    const LONG name = Handle(o.get(), L"Name");
    const LONG counter = Handle(o.get(), L"bypass_sent_msg");
    ASSERT_EQ(S_OK, WriteText(o.get(), name, L"router-0"));  // 9 units with the terminator
    ASSERT_EQ(S_OK, o.get()->WriteDWORD(counter, 0x01020304));

    const struct {
        LONG handle;
        LONG bufferBytes;
        HRESULT expected;
        LONG bytesRead;
    } cases[] = {
        {name, 0, Hr(WBEM_E_BUFFER_TOO_SMALL), 18},
        {name, 17, Hr(WBEM_E_BUFFER_TOO_SMALL), 18},
        {name, 18, S_OK, 18},
        {name, 64, S_OK, 18},
        {counter, 3, Hr(WBEM_E_BUFFER_TOO_SMALL), 4},
        {counter, 4, S_OK, 4},
    };
    for (const auto& c : cases) {
        unsigned char buffer[64];
        std::memset(buffer, 0xCD, sizeof buffer);
        LONG bytesRead = -1;
        EXPECT_EQ(c.expected, o.get()->ReadPropertyValue(c.handle, c.bufferBytes, &bytesRead, buffer))
            << c.handle << " into " << c.bufferBytes;
        EXPECT_EQ(c.bytesRead, bytesRead);
        if (c.expected == S_OK) {
            const std::string expected =
                c.handle == name ? std::string(reinterpret_cast<const char*>(L"router-0"), 18)
                                 : std::string("\x04\x03\x02\x01", 4);
            EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(buffer), c.bytesRead));
        } else {
            EXPECT_EQ(0xCD, buffer[0]) << "nothing is copied into a short buffer";
        }
        EXPECT_EQ(0xCD, buffer[c.bytesRead]) << "nothing past what was read";
    }
}

TEST(WbemObject, LockBelongsToTheThreadThatTookIt)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemObjectAccess> o = Spawn(host->ClassObject().get());
    ASSERT_TRUE(o);
    const LONG counter = Handle(o.get(), L"dev_conns");
    ASSERT_EQ(S_OK, o.get()->Lock(0));
    EXPECT_EQ(S_OK, o.get()->WriteDWORD(counter, 3)) << "the holder still reads and writes";
    HRESULT fromOtherThread = S_OK;
    std::thread([&] { fromOtherThread = o.get()->Unlock(0); }).join();
    EXPECT_EQ(Hr(WBEM_E_INVALID_OPERATION), fromOtherThread);
    EXPECT_EQ(S_OK, o.get()->Unlock(0));
    EXPECT_EQ(Hr(WBEM_E_INVALID_OPERATION), o.get()->Unlock(0)) << "not held any more";
}

// ---- the fault plan ----

TEST(FaultPlan, FailsTheSecondWriteDwordAfterArmingAndNoOther)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemObjectAccess> a = Spawn(host->ClassObject().get());
    const com_ptr<IWbemObjectAccess> b = Spawn(host->ClassObject().get());
    ASSERT_TRUE(a && b);
    const LONG counter = Handle(a.get(), L"dev_conns");
    EXPECT_EQ(S_OK, a.get()->WriteDWORD(counter, 1));  // made before arming: not counted towards nth
    EXPECT_EQ(S_OK, a.get()->WriteDWORD(counter, 2));

    host->Faults().Fail(Op::WriteDWORD, 2, E_ACCESSDENIED);
    EXPECT_EQ(S_OK, a.get()->WriteDWORD(counter, 3));
    EXPECT_EQ(E_ACCESSDENIED, b.get()->WriteDWORD(counter, 4)) << "the count spans every host object";
    EXPECT_EQ(S_OK, a.get()->WriteDWORD(counter, 5));
    EXPECT_EQ(S_OK, b.get()->WriteDWORD(counter, 6));
    EXPECT_EQ(6, host->Faults().Calls(Op::WriteDWORD));

    DWORD value = 0;
    EXPECT_TRUE(Host::ReadDword(a.get(), L"dev_conns", value));
    EXPECT_EQ(5u, value);
    EXPECT_TRUE(Host::ReadDword(b.get(), L"dev_conns", value));
    EXPECT_EQ(6u, value);

    // nth = 0: every call, until cleared.
    host->Faults().Fail(Op::WriteDWORD, 0);
    EXPECT_EQ(Hr(WBEM_E_FAILED), a.get()->WriteDWORD(counter, 7));
    EXPECT_EQ(Hr(WBEM_E_FAILED), a.get()->WriteDWORD(counter, 8));
    EXPECT_TRUE(Host::ReadDword(a.get(), L"dev_conns", value));
    EXPECT_EQ(5u, value) << "a failed call changes nothing";
    host->Faults().Clear();
    EXPECT_EQ(0, host->Faults().Calls(Op::WriteDWORD));
    EXPECT_EQ(S_OK, a.get()->WriteDWORD(counter, 9));
    EXPECT_EQ(1, host->Faults().Calls(Op::WriteDWORD));
}

TEST(FaultPlan, EveryOperationFollowsThePlanAndTheObserverBypassesIt)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<IWbemClassObject> classObject = host->ClassObject();
    const com_ptr<IWbemObjectAccess> o = Spawn(classObject.get());
    ASSERT_TRUE(o);
    const LONG name = Handle(o.get(), L"Name");
    const LONG counter = Handle(o.get(), L"srv_conns");
    const com_ptr<wmihost::InitSink> initSink = host->NewInitSink();
    const com_ptr<wmihost::ObjectSink> objectSink = host->NewObjectSink();
    const com_ptr<wmihost::HiPerfEnum> enumerator = host->NewEnum();
    BSTR className = ::SysAllocString(kRouterClass);

    // Each makes one call of its operation and releases what it was given.
    const struct {
        Op op;
        std::function<HRESULT()> call;
    } cases[] = {
        {Op::GetObject,
         [&] {
             com_ptr<IWbemClassObject> object;
             return host->Services()->GetObject(className, 0, nullptr, object.put(), nullptr);
         }},
        {Op::SpawnInstance,
         [&] {
             com_ptr<IWbemClassObject> object;
             return classObject.get()->SpawnInstance(0, object.put());
         }},
        {Op::GetPropertyHandle,
         [&] {
             LONG handle = 0;
             return o.get()->GetPropertyHandle(L"Name", nullptr, &handle);
         }},
        {Op::ReadPropertyValue,
         [&] {
             wchar_t buffer[8];
             LONG bytes = 0;
             return o.get()->ReadPropertyValue(name, sizeof buffer, &bytes, reinterpret_cast<byte*>(buffer));
         }},
        {Op::WritePropertyValue, [&] { return WriteText(o.get(), name, L"0"); }},
        {Op::ReadDWORD,
         [&] {
             DWORD value = 0;
             return o.get()->ReadDWORD(counter, &value);
         }},
        {Op::WriteDWORD, [&] { return o.get()->WriteDWORD(counter, 1); }},
        {Op::AddObjects,
         [&] {
             LONG id = 1;
             IWbemObjectAccess* objects[] = {o.get()};
             return enumerator.get()->AddObjects(0, 1, &id, objects);
         }},
        {Op::Indicate,
         [&] {
             IWbemClassObject* objects[] = {classObject.get()};
             return objectSink.get()->Indicate(1, objects);
         }},
        {Op::SetStatus, [&] { return initSink.get()->SetStatus(WBEM_S_INITIALIZED, 0); }},
        {Op::SetStatus, [&] { return objectSink.get()->SetStatus(WBEM_STATUS_COMPLETE, S_OK, nullptr, nullptr); }},
    };
    const HRESULT injected = HRESULT_FROM_WIN32(ERROR_NOT_READY);
    for (const auto& c : cases) {
        host->Faults().Clear();
        host->Faults().Fail(c.op, 1, injected);
        EXPECT_EQ(injected, c.call()) << "operation " << static_cast<int>(c.op);
        EXPECT_EQ(S_OK, c.call()) << "operation " << static_cast<int>(c.op) << ": only the first fails";
        EXPECT_EQ(2, host->Faults().Calls(c.op));
    }
    EXPECT_EQ(1u, initSink.get()->Statuses().size()) << "a failed SetStatus is not recorded";
    EXPECT_EQ(1u, objectSink.get()->ObjectCount()) << "a failed Indicate keeps nothing";

    // The observer reads with every read failing, and is not counted.
    host->Faults().Clear();
    host->Faults().Fail(Op::GetPropertyHandle, 0);
    host->Faults().Fail(Op::ReadDWORD, 0);
    host->Faults().Fail(Op::ReadPropertyValue, 0);
    DWORD value = 0;
    std::wstring text;
    EXPECT_TRUE(Host::ReadDword(o.get(), L"srv_conns", value));
    EXPECT_EQ(1u, value);
    EXPECT_TRUE(Host::ReadString(o.get(), L"Name", text));
    EXPECT_EQ(L"0", text);
    EXPECT_FALSE(Host::ReadDword(o.get(), L"Name", value)) << "not a 32-bit property";
    EXPECT_FALSE(Host::ReadString(o.get(), L"no_such", text));
    EXPECT_EQ(0, host->Faults().Calls(Op::ReadDWORD));
    EXPECT_EQ(0, host->Faults().Calls(Op::GetPropertyHandle));
    ::SysFreeString(className);
}

// ---- collaborators and lifetimes ----

TEST(Sinks, RecordWhatTheProviderReports)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const com_ptr<wmihost::InitSink> init = host->NewInitSink();
    EXPECT_EQ(S_OK, init.get()->SetStatus(WBEM_S_INITIALIZED, 0));
    EXPECT_EQ(S_OK, init.get()->SetStatus(WBEM_E_FAILED, 7));
    const std::vector<std::pair<LONG, LONG>> statuses{{WBEM_S_INITIALIZED, 0}, {Hr(WBEM_E_FAILED), 7}};
    EXPECT_EQ(statuses, init.get()->Statuses());

    const com_ptr<wmihost::ObjectSink> sink = host->NewObjectSink();
    const com_ptr<IWbemObjectAccess> first = Spawn(host->ClassObject().get());
    const com_ptr<IWbemObjectAccess> second = Spawn(host->ClassObject().get());
    IWbemClassObject* objects[] = {com_query<IWbemClassObject>(first.get()).get(),
                                   com_query<IWbemClassObject>(second.get()).get()};
    IWbemClassObject* withNull[] = {objects[0], nullptr};
    EXPECT_EQ(Hr(WBEM_E_INVALID_PARAMETER), sink.get()->Indicate(2, withNull));
    EXPECT_EQ(0u, sink.get()->ObjectCount()) << "all or nothing";
    EXPECT_EQ(S_OK, sink.get()->Indicate(2, objects));
    EXPECT_EQ(S_OK, sink.get()->SetStatus(WBEM_STATUS_COMPLETE, WBEM_S_NO_ERROR, nullptr, nullptr));
    const std::vector<com_ptr<IWbemClassObject>> held = sink.get()->Objects();
    ASSERT_EQ(2u, held.size());
    EXPECT_EQ(objects[0], held[0].get());
    EXPECT_EQ(objects[1], held[1].get());
    const std::vector<std::pair<LONG, HRESULT>> sinkStatuses{{WBEM_STATUS_COMPLETE, S_OK}};
    EXPECT_EQ(sinkStatuses, sink.get()->Statuses());
}

TEST(Host, LiveObjectsReturnsToItsStartOnceEveryReferenceIsReleased)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const long start = host->LiveObjects();
    EXPECT_EQ(2, start) << "the namespace and the class object";

    // What a provider does with its collaborators, references taken in passing.
    IWbemProviderInitSink* init = host->NewInitSink().release();
    IWbemObjectSink* sink = host->NewObjectSink().release();
    IWbemHiPerfEnum* enumerator = host->NewEnum().release();
    EXPECT_EQ(start + 3, host->LiveObjects());

    BSTR className = ::SysAllocString(kRouterClass);
    IWbemClassObject* classObject = nullptr;
    ASSERT_EQ(S_OK, host->Services()->GetObject(className, 0, nullptr, &classObject, nullptr));
    ::SysFreeString(className);
    IWbemClassObject* instance = nullptr;
    ASSERT_EQ(S_OK, classObject->SpawnInstance(0, &instance));
    IWbemObjectAccess* access = nullptr;
    ASSERT_EQ(S_OK, instance->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(&access)));
    IWbemClassObject* copy = nullptr;
    ASSERT_EQ(S_OK, instance->Clone(&copy));
    EXPECT_EQ(start + 5, host->LiveObjects()) << "an instance and its clone";

    LONG id = 3;
    EXPECT_EQ(S_OK, enumerator->AddObjects(0, 1, &id, &access));
    EXPECT_EQ(S_OK, sink->Indicate(1, &copy));
    EXPECT_EQ(S_OK, init->SetStatus(WBEM_S_INITIALIZED, 0));

    classObject->Release();
    instance->Release();
    access->Release();
    copy->Release();
    EXPECT_EQ(start + 5, host->LiveObjects()) << "the enumerator and the sink still hold the two";
    EXPECT_EQ(S_OK, enumerator->RemoveAll(0));
    EXPECT_EQ(start + 4, host->LiveObjects());
    sink->Release();
    EXPECT_EQ(start + 2, host->LiveObjects()) << "the sink went, and the clone with it";
    enumerator->Release();
    init->Release();
    EXPECT_EQ(start, host->LiveObjects());
}

TEST(Host, ObjectsOutliveTheHost)
{
    com_ptr<IWbemObjectAccess> instance;
    com_ptr<wmihost::HiPerfEnum> enumerator;
    {
        const auto host = RouterHost();
        ASSERT_TRUE(host);
        instance = Spawn(host->ClassObject().get());
        enumerator = host->NewEnum();
        host->Faults().Fail(Op::WriteDWORD, 2);
    }
    const LONG counter = Handle(instance.get(), L"bypass_rcvd_msg");
    EXPECT_EQ(S_OK, instance.get()->WriteDWORD(counter, 11));
    EXPECT_EQ(Hr(WBEM_E_FAILED), instance.get()->WriteDWORD(counter, 12)) << "the plan lives on with its objects";
    LONG id = 1;
    IWbemObjectAccess* objects[] = {instance.get()};
    EXPECT_EQ(S_OK, enumerator.get()->AddObjects(0, 1, &id, objects));
    DWORD value = 0;
    EXPECT_TRUE(Host::ReadDword(instance.get(), L"bypass_rcvd_msg", value));
    EXPECT_EQ(11u, value);
}

TEST(HiPerfEnum, AddsReplacesRemovesAndHandsOutReferences)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    const long start = host->LiveObjects();
    const com_ptr<wmihost::HiPerfEnum> e = host->NewEnum();
    {
        com_ptr<IWbemObjectAccess> objects[4];
        for (auto& object : objects) {
            object = Spawn(host->ClassObject().get());
            ASSERT_TRUE(object);
        }
        LONG ids[] = {7, 3, 9};
        IWbemObjectAccess* added[] = {objects[0].get(), objects[1].get(), objects[2].get()};
        EXPECT_EQ(S_OK, e.get()->AddObjects(0, 3, ids, added));
        LONG same = 7;
        IWbemObjectAccess* replacement = objects[3].get();
        EXPECT_EQ(S_OK, e.get()->AddObjects(0, 1, &same, &replacement));

        const auto held = e.get()->Objects();
        ASSERT_EQ(3u, held.size());
        const std::pair<LONG, IWbemObjectAccess*> expected[] = {
            {3, objects[1].get()}, {7, objects[3].get()}, {9, objects[2].get()}};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(expected[i].first, held[i].first);
            EXPECT_EQ(expected[i].second, held[i].second.get()) << "id " << held[i].first;
        }

        LONG unknown[] = {3, 42};
        EXPECT_EQ(Hr(WBEM_E_NOT_FOUND), e.get()->RemoveObjects(0, 2, unknown));
        EXPECT_EQ(3u, e.get()->Objects().size()) << "nothing removed when an id is unknown";
        LONG three = 3;
        EXPECT_EQ(S_OK, e.get()->RemoveObjects(0, 1, &three));
    }
    // Only what the enumerator holds is alive: ids 7 and 9.
    EXPECT_EQ(start + 3, host->LiveObjects());

    IWbemObjectAccess* slots[3] = {nullptr, nullptr, nullptr};
    ULONG returned = 0;
    EXPECT_EQ(Hr(WBEM_E_BUFFER_TOO_SMALL), e.get()->GetObjects(0, 1, slots, &returned));
    EXPECT_EQ(2u, returned) << "the count that is needed";
    EXPECT_EQ(nullptr, slots[0]);
    EXPECT_EQ(Hr(WBEM_E_INVALID_PARAMETER), e.get()->GetObjects(0, 3, slots, nullptr));

    returned = 0;
    ASSERT_EQ(S_OK, e.get()->GetObjects(0, 3, slots, &returned));
    ASSERT_EQ(2u, returned);
    EXPECT_EQ(nullptr, slots[2]);
    EXPECT_EQ(S_OK, e.get()->RemoveAll(0));
    EXPECT_EQ(start + 3, host->LiveObjects()) << "GetObjects gave the caller its own references";
    DWORD value = 1;
    EXPECT_TRUE(Host::ReadDword(slots[0], L"dev_conns", value));
    EXPECT_EQ(0u, value);
    slots[0]->Release();
    slots[1]->Release();
    EXPECT_EQ(start + 1, host->LiveObjects());
    EXPECT_EQ(S_OK, e.get()->GetObjects(0, 0, nullptr, &returned));
    EXPECT_EQ(0u, returned);
}

// ---- threads ----

TEST(WbemObject, ConcurrentWritersAndReadersSeeWholeValues)
{
    const auto host = RouterHost();
    ASSERT_TRUE(host);
    constexpr int kWriters = 4;
    constexpr DWORD kWrites = 20000;
    std::vector<com_ptr<IWbemObjectAccess>> own;
    for (int i = 0; i < kWriters; ++i) {
        own.push_back(Spawn(host->ClassObject().get()));
    }
    const com_ptr<IWbemObjectAccess> shared = Spawn(host->ClassObject().get());
    const LONG counter = Handle(shared.get(), L"work_queue_size");
    const LONG name = Handle(shared.get(), L"Name");
    const std::wstring shortText(3, L'a');
    const std::wstring longText(200, L'b');

    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&, i] {
            for (DWORD n = 1; n <= kWrites; ++n) {
                own[i].get()->WriteDWORD(counter, n * (i + 1));
                WriteText(shared.get(), name, (n + i) % 2 ? shortText : longText);
            }
        });
    }
    int torn = 0;
    threads.emplace_back([&] {
        for (DWORD n = 0; n < kWrites; ++n) {
            wchar_t buffer[256] = {};
            LONG bytes = 0;
            if (SUCCEEDED(shared.get()->ReadPropertyValue(name, sizeof buffer, &bytes, reinterpret_cast<byte*>(buffer)))) {
                const std::wstring seen(buffer);
                torn += (seen.empty() || seen == shortText || seen == longText) ? 0 : 1;
                torn += bytes == static_cast<LONG>((seen.size() + 1) * sizeof(wchar_t)) ? 0 : 1;
            }
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, torn);
    for (int i = 0; i < kWriters; ++i) {
        DWORD value = 0;
        EXPECT_TRUE(Host::ReadDword(own[i].get(), L"work_queue_size", value));
        EXPECT_EQ(kWrites * (i + 1), value);
    }
    EXPECT_EQ(static_cast<int>(kWriters * kWrites), host->Faults().Calls(Op::WriteDWORD));
    EXPECT_EQ(static_cast<int>(kWriters * kWrites), host->Faults().Calls(Op::WritePropertyValue));
}

}  // namespace
