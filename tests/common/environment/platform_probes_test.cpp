// The platform probes: the charset table, the COM initialiser, the OLE DB
// provider list and the Windows edition name.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <oledb.h>
#include <oledberr.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/environment/charset_table.h"
#include "common/environment/com_initializer.h"
#include "common/environment/os_name.h"
#include "common/environment/provider_list.h"
#include "common/util/com_object.h"
#include "common/util/unique_resource.h"
#include "log_recorder.h"
#include "scoped_registry_key.h"

#if defined(__CRT_UUID_DECL)
// MinGW's oledb.h gives these interfaces no __uuidof.
__CRT_UUID_DECL(ISourcesRowset, 0x0c733a1e, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44,
                0x77, 0x3d)
__CRT_UUID_DECL(IRowset, 0x0c733a7c, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77,
                0x3d)
__CRT_UUID_DECL(IAccessor, 0x0c733a8c, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77,
                0x3d)
#endif

namespace {

// ---- charset table ----

class CharsetTableTest : public ::testing::Test {
protected:
    void Charset(const std::string& name, DWORD codePage) const
    {
        key_.CreateSubKey(name);
        key_.SetDword(name, "InternetEncoding", codePage);
    }
    void Alias(const std::string& name, const std::string& target) const
    {
        key_.CreateSubKey(name);
        key_.SetString(name, "AliasForCharset", target);
    }
    CharsetTable Build() const { return BuildCharsetTable(key_.Root(), key_.Path().c_str()); }

    ScopedRegistryKey key_;
};

TEST_F(CharsetTableTest, CodePagesAliasesAndChainsOfAliases)
{
    Charset("iso-8859-1", 28591);
    Charset("utf-8", 65001);
    Alias("latin1", "ISO-8859-1");  // targets compare ignoring case
    // Enumerated in name order: the outer alias comes before the one it names.
    Alias("a-outer", "m-inner");
    Alias("m-inner", "z-base");
    Charset("z-base", 1250);
    key_.CreateSubKey("no-code-page");
    Alias("orphan", "no-code-page");
    Alias("dangling", "missing");
    Alias("loop-a", "loop-b");
    Alias("loop-b", "loop-a");
    key_.CreateSubKey("both");
    key_.SetDword("both", "InternetEncoding", 1200);
    key_.SetString("both", "AliasForCharset", "utf-8");
    key_.CreateSubKey("text-code-page");
    key_.SetString("text-code-page", "InternetEncoding", "1252");
    key_.CreateSubKey("x-caf\xE9");  // an ANSI name, 1252 under Wine
    key_.SetDword("x-caf\xE9", "InternetEncoding", 1252);

    const CharsetTable table = Build();
    const struct {
        const wchar_t* name;
        std::int32_t codePage;  // 0: not in the table
    } cases[] = {
        {L"iso-8859-1", 28591}, {L"latin1", 28591},      {L"a-outer", 1250},
        {L"m-inner", 1250},     {L"z-base", 1250},       {L"both", 1200},
        {L"utf-8", 65001},      {L"UTF-8", 65001},       {L"Utf-8", 65001},
        {L"LATIN1", 28591},     {L"X-CAF\u00C9", 1252},  {L"no-code-page", 0},
        {L"orphan", 0},         {L"dangling", 0},        {L"loop-a", 0},
        {L"loop-b", 0},         {L"text-code-page", 0},  {L"utf-", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        std::int32_t codePage = -1;
        EXPECT_EQ(c.codePage != 0, table.Lookup(c.name, codePage));
        EXPECT_EQ(c.codePage != 0 ? c.codePage : -1, codePage);
    }
    EXPECT_EQ(8u, table.Size());
}

TEST_F(CharsetTableTest, MissingOrEmptyKeyGivesAnEmptyTable)
{
    EXPECT_TRUE(BuildCharsetTable(key_.Root(), (key_ / "absent").c_str()).Empty());
    EXPECT_TRUE(Build().Empty());
    std::int32_t codePage = 7;
    EXPECT_FALSE(Build().Lookup(nullptr, codePage));
    EXPECT_EQ(7, codePage);
}

TEST(CharsetTableLive, MimeDatabaseOfTheSystem)
{
    const CharsetTable table = BuildCharsetTable();
    ASSERT_FALSE(table.Empty());
    const struct {
        const wchar_t* name;
        std::int32_t codePage;
    } cases[] = {
        {L"utf-8", 65001}, {L"UTF-8", 65001}, {L"windows-1252", 1252},
        {L"iso-8859-1", 1252}, {L"latin1", 1252},  // latin1 is an alias there
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        std::int32_t codePage = 0;
        EXPECT_TRUE(table.Lookup(c.name, codePage));
        EXPECT_EQ(c.codePage, codePage);
    }
    // The process-wide table was built the same way when the program loaded.
    ASSERT_NE(nullptr, ProcessCharsetTable());
    EXPECT_EQ(table.Size(), ProcessCharsetTable()->Size());
}

// ---- COM on a thread of its own ----

template <typename Body>
void OnNewThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

// Whether the calling thread holds no COM initialisation: a fresh one
// succeeds with S_OK (it is undone at once).
bool ThreadHasNoCom()
{
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(result)) {
        ::CoUninitialize();
    }
    return result == S_OK;
}

constexpr const char* kChangedModeMessage =
    "A previous call to CoInitializeEx specified a different concurrency model for the calling "
    "thread, or the thread that called CoInitializeEx currently belongs to the neutral threaded "
    "apartment.";

TEST(ComInitializerTest, ChangedModeThrowsWithTheLongMessage)
{
    OnNewThread([] {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        try {
            ComInitializer com(COINIT_MULTITHREADED, false, true);
            ADD_FAILURE() << "no exception";
        } catch (const init_exception& failure) {
            EXPECT_EQ(RPC_E_CHANGED_MODE, failure.Result());
            EXPECT_STREQ(kChangedModeMessage, failure.what());
            const init_exception copy = failure;
            EXPECT_STREQ(kChangedModeMessage, copy.what());
            EXPECT_EQ(RPC_E_CHANGED_MODE, copy.Result());
        }
        // Without throwing, the failure only shows in the object.
        {
            ComInitializer quiet(COINIT_MULTITHREADED, false, false);
            EXPECT_FALSE(quiet.Initialized());
            EXPECT_EQ(RPC_E_CHANGED_MODE, quiet.Result());
        }
        // Neither touched the thread's own initialisation.
        EXPECT_EQ(S_FALSE, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ::CoUninitialize();
        ::CoUninitialize();
        EXPECT_TRUE(ThreadHasNoCom());
    });
}

TEST(ComInitializerTest, InitialisesOnceAndUninitialisesWhatItInitialised)
{
    OnNewThread([] {
        ComInitializer deferred(COINIT_APARTMENTTHREADED, true, true);
        EXPECT_FALSE(deferred.Initialized());
        EXPECT_EQ(S_OK, deferred.Result());
        EXPECT_EQ(static_cast<DWORD>(COINIT_APARTMENTTHREADED), deferred.Model());
        EXPECT_TRUE(ThreadHasNoCom());

        {
            ComInitializer com(COINIT_MULTITHREADED);
            EXPECT_TRUE(com.Initialized());
            EXPECT_EQ(S_OK, com.Result());
            // The same model again adds nothing: one Uninitialize clears it.
            EXPECT_EQ(&com, &com.Initialize(COINIT_MULTITHREADED, true));
            EXPECT_EQ(S_OK, com.Result());
            com.Uninitialize();
            EXPECT_FALSE(com.Initialized());
            EXPECT_TRUE(ThreadHasNoCom());
            com.Uninitialize();  // nothing left to undo
            EXPECT_TRUE(ThreadHasNoCom());
        }

        { ComInitializer com(COINIT_APARTMENTTHREADED); }
        EXPECT_TRUE(ThreadHasNoCom());
    });
}

TEST(ComInitializerTest, JoinsAnApartmentTheThreadIsAlreadyIn)
{
    OnNewThread([] {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        {
            ComInitializer com(COINIT_MULTITHREADED);
            EXPECT_TRUE(com.Initialized());
            EXPECT_EQ(S_FALSE, com.Result());
        }
        // Only its own count was given back.
        EXPECT_EQ(RPC_E_CHANGED_MODE, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ::CoUninitialize();
        EXPECT_TRUE(ThreadHasNoCom());
    });
}

TEST(ComInitializerTest, ChangeOfModelHoldsOneInitialisation)
{
    OnNewThread([] {
        {
            ComInitializer com(COINIT_APARTMENTTHREADED);
            ASSERT_TRUE(com.Initialized());
            // A failed change keeps the initialisation it holds.
            com.Initialize(COINIT_MULTITHREADED, false);
            EXPECT_TRUE(com.Initialized());
            EXPECT_EQ(static_cast<DWORD>(COINIT_APARTMENTTHREADED), com.Model());
            EXPECT_EQ(S_OK, com.Result());
            EXPECT_THROW(com.Initialize(COINIT_MULTITHREADED, true), init_exception);
            EXPECT_TRUE(com.Initialized());
            // A change within the same apartment succeeds; the earlier
            // initialisation is given back.
            const DWORD sameApartment = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE;
            com.Initialize(sameApartment, true);
            EXPECT_EQ(S_FALSE, com.Result());
            EXPECT_EQ(sameApartment, com.Model());
        }
        EXPECT_TRUE(ThreadHasNoCom());
    });
}

// ---- OLE DB provider list ----

class ProviderListTest : public ::testing::Test {
protected:
    LogRecorder recorder_;
};

// Writable memory posing as a callback: it must never be called.
unsigned char g_writableBytes[16] = {0xCC};

TEST_F(ProviderListTest, ThreadWithoutComReportsNotInitialised)
{
    OnNewThread([] {
        EXPECT_TRUE(provider_list(LogRecorder::Callback()).empty());
        // The probe's initialisation was undone again.
        EXPECT_TRUE(ThreadHasNoCom());
    });
    const auto messages = LogRecorder::Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(L"CoInitialize has not been called. [-2147221008]", messages[0].message);
    EXPECT_EQ(4, messages[0].level);
    EXPECT_EQ("provider_list", messages[0].function);
    ASSERT_NE(nullptr, messages[0].context);
    EXPECT_EQ(51, messages[0].context->marker);
}

TEST_F(ProviderListTest, ComThreadsMeetTheMissingEnumerator)
{
    // Wine registers no OLE DB root enumerator: REGDB_E_CLASSNOTREG.
    const std::wstring notRegistered =
        L"An error occurred during enumerating OLE DB providers. [-2147221164]";
    const struct {
        DWORD model;
        std::vector<std::wstring> expected;
    } cases[] = {
        {COINIT_MULTITHREADED, {notRegistered}},
        {COINIT_APARTMENTTHREADED,
         {L"An error occurred during enumerating OLE DB providers - failure during COM "
          L"initialization. [-2147417850]",
          notRegistered}},
    };
    LogContext* firstContext = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        LogRecorder::Clear();
        OnNewThread([&] {
            ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, c.model));
            EXPECT_TRUE(provider_list(LogRecorder::Callback()).empty());
            // The thread's own initialisation is still the only one.
            ::CoUninitialize();
            EXPECT_TRUE(ThreadHasNoCom());
        });
        EXPECT_EQ(c.expected, LogRecorder::Texts());
        for (const RecordedMessage& m : LogRecorder::Messages()) {
            EXPECT_EQ(4, m.level);
            EXPECT_EQ("provider_list", m.function);
            // One record for every enumeration.
            if (firstContext == nullptr) {
                firstContext = m.context;
            }
            EXPECT_EQ(firstContext, m.context);
        }
    }
}

TEST_F(ProviderListTest, UnusableCallbacksAreNeverCalled)
{
    OnNewThread([] {
        EXPECT_TRUE(provider_list(nullptr).empty());
        EXPECT_TRUE(provider_list(reinterpret_cast<LogCallback>(g_writableBytes)).empty());
    });
    EXPECT_TRUE(LogRecorder::Messages().empty());
}

// A stand-in root enumerator, registered for the test's process only, that
// serves a given list of names and counts what the caller still holds.
constexpr CLSID kRootEnumerator = {
    0xC8B522D0, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

struct EnumeratorScript {
    std::vector<const wchar_t*> names;  // null: a row whose name is null
    DBROWCOUNT failingRow = -1;         // GetData of this row fails
    volatile LONG liveObjects = 0;
    volatile LONG heldRows = 0;
    volatile LONG heldAccessors = 0;
    bool boundFiveColumns = false;
};

constexpr HRESULT kBadRow = DB_E_BADROWHANDLE;

class StandInRowset : public ComObject<IRowset, IAccessor> {
public:
    explicit StandInRowset(EnumeratorScript* script) : script_(script)
    {
        ::InterlockedIncrement(&script_->liveObjects);
    }
    ~StandInRowset() override { ::InterlockedDecrement(&script_->liveObjects); }

    STDMETHODIMP AddRefRows(DBCOUNTITEM, const HROW[], DBREFCOUNT[], DBROWSTATUS[]) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetData(HROW row, HACCESSOR accessor, void* data) override
    {
        if (accessor != kAccessor || data == nullptr || row == 0 ||
            row > static_cast<HROW>(script_->names.size())) {
            return DB_E_BADACCESSORHANDLE;
        }
        if (static_cast<DBROWCOUNT>(row - 1) == script_->failingRow) {
            return kBadRow;
        }
        auto* bytes = static_cast<unsigned char*>(data);
        const DBBINDING& binding = bindings_[0];
        const wchar_t* name = script_->names[row - 1];
        auto* status = reinterpret_cast<DBSTATUS*>(bytes + binding.obStatus);
        if (name == nullptr) {
            *status = DBSTATUS_S_ISNULL;
            return S_OK;
        }
        const std::size_t room = binding.cbMaxLen / sizeof(wchar_t) - 1;
        const std::size_t length = std::wcslen(name);
        auto* value = reinterpret_cast<wchar_t*>(bytes + binding.obValue);
        const std::size_t copied = length < room ? length : room;
        std::memcpy(value, name, copied * sizeof(wchar_t));
        value[copied] = L'\0';
        *status = length > room ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK;
        return S_OK;
    }
    STDMETHODIMP GetNextRows(HCHAPTER, DBROWOFFSET offset, DBROWCOUNT rows,
                             DBCOUNTITEM* obtained, HROW** handles) override
    {
        if (offset != 0 || rows <= 0 || obtained == nullptr || handles == nullptr) {
            return E_INVALIDARG;
        }
        const DBROWCOUNT left = static_cast<DBROWCOUNT>(script_->names.size()) - next_;
        const DBROWCOUNT given = left < rows ? left : rows;
        *obtained = 0;
        if (given > 0) {
            if (*handles == nullptr) {
                *handles = static_cast<HROW*>(::CoTaskMemAlloc(sizeof(HROW) * given));
            }
            for (DBROWCOUNT index = 0; index < given; ++index) {
                (*handles)[index] = static_cast<HROW>(++next_);
            }
            *obtained = static_cast<DBCOUNTITEM>(given);
            ::InterlockedExchangeAdd(&script_->heldRows, static_cast<LONG>(given));
        }
        return given < rows ? DB_S_ENDOFROWSET : S_OK;
    }
    STDMETHODIMP ReleaseRows(DBCOUNTITEM rows, const HROW[], DBROWOPTIONS[], DBREFCOUNT[],
                             DBROWSTATUS[]) override
    {
        ::InterlockedExchangeAdd(&script_->heldRows, -static_cast<LONG>(rows));
        return S_OK;
    }
    STDMETHODIMP RestartPosition(HCHAPTER) override { return E_NOTIMPL; }

    STDMETHODIMP AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return E_NOTIMPL; }
    STDMETHODIMP CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count,
                                const DBBINDING bindings[], DBLENGTH, HACCESSOR* accessor,
                                DBBINDSTATUS[]) override
    {
        if (flags != DBACCESSOR_ROWDATA || count < 1 || bindings[0].iOrdinal != 1 ||
            bindings[0].wType != DBTYPE_WSTR || (bindings[0].dwPart & DBPART_STATUS) == 0 ||
            accessor == nullptr) {
            return DB_E_BADBINDINFO;
        }
        script_->boundFiveColumns = count == 5;
        for (DBCOUNTITEM index = 0; index < count && index < 5; ++index) {
            script_->boundFiveColumns =
                script_->boundFiveColumns && bindings[index].iOrdinal == index + 1;
        }
        bindings_[0] = bindings[0];
        *accessor = kAccessor;
        ::InterlockedIncrement(&script_->heldAccessors);
        return S_OK;
    }
    STDMETHODIMP GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT*) override
    {
        if (accessor != kAccessor) {
            return DB_E_BADACCESSORHANDLE;
        }
        ::InterlockedDecrement(&script_->heldAccessors);
        return S_OK;
    }

private:
    static constexpr HACCESSOR kAccessor = 7;
    EnumeratorScript* script_;
    DBBINDING bindings_[1] = {};
    DBROWCOUNT next_ = 0;
};

class StandInSources : public ComObject<ISourcesRowset> {
public:
    explicit StandInSources(EnumeratorScript* script) : script_(script)
    {
        ::InterlockedIncrement(&script_->liveObjects);
    }
    ~StandInSources() override { ::InterlockedDecrement(&script_->liveObjects); }

    STDMETHODIMP GetSourcesRowset(IUnknown* outer, REFIID riid, ULONG, DBPROPSET[],
                                  IUnknown** rowset) override
    {
        if (outer != nullptr || rowset == nullptr) {
            return E_INVALIDARG;
        }
        *rowset = nullptr;
        return CreateComObject<StandInRowset>(riid, reinterpret_cast<void**>(rowset), script_);
    }

private:
    EnumeratorScript* script_;
};

class StandInFactory : public ComObject<IClassFactory> {
public:
    explicit StandInFactory(EnumeratorScript* script) : script_(script) {}
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return CreateComObject<StandInSources>(riid, object, script_);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    EnumeratorScript* script_;
};

// Runs provider_list on a multithreaded thread with the stand-in registered.
std::vector<std::wstring> ListWithStandIn(EnumeratorScript& script)
{
    std::vector<std::wstring> names;
    OnNewThread([&] {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        {
            com_ptr<IClassFactory> factory;
            ASSERT_EQ(S_OK, CreateComObject<StandInFactory>(
                                IID_IClassFactory, reinterpret_cast<void**>(factory.put()), &script));
            DWORD cookie = 0;
            ASSERT_EQ(S_OK, ::CoRegisterClassObject(kRootEnumerator, factory.get(),
                                                    CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                                    &cookie));
            names = provider_list(LogRecorder::Callback());
            EXPECT_EQ(S_OK, ::CoRevokeClassObject(cookie));
        }
        ::CoUninitialize();
    });
    return names;
}

TEST_F(ProviderListTest, RowsOfTheEnumeratorInOrder)
{
    const std::wstring longName(200, L'n');
    std::vector<const wchar_t*> many;
    std::vector<std::wstring> manyNames;
    for (int index = 0; index < 40; ++index) {
        manyNames.push_back(L"Provider" + std::to_wstring(index));
    }
    for (const std::wstring& name : manyNames) {
        many.push_back(name.c_str());
    }
    const struct {
        const char* label;
        std::vector<const wchar_t*> names;
        std::vector<std::wstring> expected;
    } cases[] = {
        {"none", {}, {}},
        {"several", {L"SQLOLEDB", L"SQLNCLI11", L"MSDASQL"}, {L"SQLOLEDB", L"SQLNCLI11", L"MSDASQL"}},
        {"more than one batch", many, manyNames},
        {"null and long names", {L"A", nullptr, longName.c_str()}, {L"A", L"", longName.substr(0, 128)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LogRecorder::Clear();
        EnumeratorScript script;
        script.names = c.names;
        EXPECT_EQ(c.expected, ListWithStandIn(script));
        EXPECT_TRUE(LogRecorder::Messages().empty());
        EXPECT_TRUE(script.boundFiveColumns);
        EXPECT_EQ(0, script.liveObjects);
        EXPECT_EQ(0, script.heldRows);
        EXPECT_EQ(0, script.heldAccessors);
    }
}

TEST_F(ProviderListTest, FailingRowGivesTheErrorLineAndAnEmptyList)
{
    EnumeratorScript script;
    script.names = {L"First", L"Second", L"Third"};
    script.failingRow = 1;
    EXPECT_TRUE(ListWithStandIn(script).empty());
    EXPECT_EQ(std::vector<std::wstring>{L"An error occurred during enumerating OLE DB providers. [" +
                                        std::to_wstring(static_cast<int>(kBadRow)) + L"]"},
              LogRecorder::Texts());
    EXPECT_EQ(0, script.liveObjects);
    EXPECT_EQ(0, script.heldRows);
    EXPECT_EQ(0, script.heldAccessors);
}

// ---- Windows edition name ----

OsVersionFacts Nt(DWORD major, DWORD minor, DWORD build, const wchar_t* servicePack,
                  BYTE productType, WORD suiteMask = 0)
{
    OsVersionFacts facts;
    facts.basicRead = true;
    facts.platformId = VER_PLATFORM_WIN32_NT;
    facts.major = major;
    facts.minor = minor;
    facts.build = build;
    facts.servicePack = servicePack;
    facts.extendedRead = true;
    facts.productType = productType;
    facts.suiteMask = suiteMask;
    return facts;
}

OsVersionFacts WithoutExtended(OsVersionFacts facts)
{
    facts.extendedRead = false;
    return facts;
}

OsVersionFacts Windows9x(DWORD minor, const wchar_t* servicePack)
{
    OsVersionFacts facts;
    facts.basicRead = true;
    facts.platformId = VER_PLATFORM_WIN32_WINDOWS;
    facts.major = 4;
    facts.minor = minor;
    facts.servicePack = servicePack;
    return facts;
}

constexpr BYTE kWorkstation = 1;
constexpr BYTE kDomainController = 2;
constexpr BYTE kServer = 3;

TEST(OsName, NamesForVersionFacts)
{
    OsVersionFacts unread = Nt(6, 1, 7601, L"Service Pack 1", kWorkstation);
    unread.basicRead = false;
    OsVersionFacts win32s = Nt(3, 10, 0, L"", kWorkstation);
    win32s.platformId = VER_PLATFORM_WIN32s;

    const struct {
        const char* label;
        OsVersionFacts facts;
        const wchar_t* name;
    } cases[] = {
        {"2003 enterprise server", Nt(5, 2, 3790, L"Service Pack 2", kServer, 0x2),
         L"Microsoft\u00AE Windows\u00AE 2003 AdvancedServer Service Pack 2 x64"},
        {"xp home", Nt(5, 1, 2600, L"Service Pack 3", kWorkstation, 0x200),
         L"Windows XP Home Edition Service Pack 3 x64"},
        {"xp other", Nt(5, 1, 2600, L"", kWorkstation), L"Windows XP Windows XP x64"},
        {"xp without extended", WithoutExtended(Nt(5, 1, 2600, L"Service Pack 2", kWorkstation, 0x200)),
         L"Windows XP Service Pack 2 x64"},
        {"2000 professional", Nt(5, 0, 2195, L"Service Pack 4", kWorkstation),
         L"Microsoft\u00AE Windows\u00AE 2000 Professional Service Pack 4 x64"},
        {"2000 datacenter dc", Nt(5, 0, 2195, L"", kDomainController, 0x80 | 0x10),
         L"Microsoft\u00AE Windows\u00AE 2000 DataCenterServerDomain Controller x64"},
        {"2003 terminal before backoffice", Nt(5, 2, 3790, L"", kServer, 0x10 | 0x4),
         L"Microsoft\u00AE Windows\u00AE 2003 TerminalServer x64"},
        {"2003 backoffice", Nt(5, 2, 3790, L"", kServer, 0x4),
         L"Microsoft\u00AE Windows\u00AE 2003 BackOfficeServer x64"},
        {"2003 plain server", Nt(5, 2, 3790, L"Service Pack 1", kServer),
         L"Microsoft\u00AE Windows\u00AE 2003Server Service Pack 1 x64"},
        {"nt4 sp6a workstation", Nt(4, 0, 1381, L"Service Pack 6a", kWorkstation),
         L"Windows NT 4.0 Workstation Service Pack 6a x64"},
        {"nt4 sp6 server", Nt(4, 0, 1381, L"Service Pack 6", kServer),
         L"Windows NT 4.0 Server Service Pack 6 x64"},
        // Before service pack 6 the extended facts are not consulted.
        {"nt4 sp5", Nt(4, 0, 1381, L"Service Pack 5", kServer),
         L"Windows NT 4.0 Service Pack 5 x64"},
        {"no service-pack digit", Nt(5, 1, 2600, L"Service Pack", kWorkstation, 0x200),
         L"Windows XP Home Edition x64"},
        {"95", Windows9x(0, L""), L"Windows 95 x64"},
        {"98 se", Windows9x(10, L" A "), L"Windows 98 A x64"},
        {"me", Windows9x(90, L""), L"Windows ME x64"},
        {"9x unknown", Windows9x(50, L""), L"Unknown x64"},
        {"vista", Nt(6, 0, 6002, L"Service Pack 2", kWorkstation),
         L"Windows Vista Service Pack 2 x64"},
        {"server 2008", Nt(6, 0, 6002, L"Service Pack 2", kServer),
         L"Windows Server 2008 Service Pack 2 x64"},
        {"7", Nt(6, 1, 7601, L"Service Pack 1", kWorkstation), L"Windows 7 Service Pack 1 x64"},
        {"2008 r2 dc", Nt(6, 1, 7601, L"", kDomainController), L"Windows Server 2008 R2 x64"},
        {"8", Nt(6, 2, 9200, L"", kWorkstation), L"Windows 8 x64"},
        {"2012", Nt(6, 2, 9200, L"", kServer), L"Windows Server 2012 x64"},
        {"8.1", Nt(6, 3, 9600, L"", kWorkstation), L"Windows 8.1 x64"},
        {"2012 r2", Nt(6, 3, 9600, L"", kServer), L"Windows Server 2012 R2 x64"},
        {"10", Nt(10, 0, 19045, L"", kWorkstation), L"Windows 10 x64"},
        {"11 first build", Nt(10, 0, 22000, L"", kWorkstation), L"Windows 11 x64"},
        {"11", Nt(10, 0, 22631, L"", kWorkstation), L"Windows 11 x64"},
        {"2016", Nt(10, 0, 14393, L"", kServer), L"Windows Server 2016 x64"},
        {"2019 dc", Nt(10, 0, 17763, L"", kDomainController), L"Windows Server 2019 x64"},
        {"2022", Nt(10, 0, 20348, L"", kServer), L"Windows Server 2022 x64"},
        {"2022 later build", Nt(10, 0, 26100, L"", kServer), L"Windows Server 2022 x64"},
        {"10 without extended", WithoutExtended(Nt(10, 0, 14393, L"", kServer)), L"Windows 10 x64"},
        {"unknown later pair", Nt(6, 4, 9841, L"", kWorkstation), L"Unknown x64"},
        {"unknown older pair", Nt(3, 51, 1057, L"Service Pack 5", kWorkstation),
         L"Unknown Service Pack 5 x64"},
        {"win32s", win32s, L"Unknown x64"},
        {"unread", unread, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(std::wstring(c.name), OsNameFromFacts(c.facts));
    }
}

TEST(OsName, RunningSystem)
{
    const OsVersionFacts facts = CurrentOsVersionFacts();
    ASSERT_TRUE(facts.basicRead);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), facts.platformId);
    EXPECT_GE(facts.major, 6u);
    EXPECT_TRUE(facts.extendedRead);

    const std::wstring name = GetOSName();
    ASSERT_GT(name.size(), 4u);
    EXPECT_EQ(L" x64", name.substr(name.size() - 4));
    EXPECT_EQ(0u, name.find(L"Windows")) << testing::PrintToString(name);
}

}  // namespace
