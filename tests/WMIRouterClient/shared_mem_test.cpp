// The router's counter block as both sides use it: the publisher creates
// it, the provider opens it read-only and reads stamp and counters.

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <string>

#include "WMIRouterClient/log_contexts.h"
#include "WMIRouterClient/shared_mem.h"
#include "log_recorder.h"

namespace {

using Block = WMISharedMem<wmirouter_perf_t>;
constexpr const char* kInitialize = "WMISharedMem<struct wmirouter_perf_t>::Initialize";
constexpr const char* kAcquire = "WMISharedMem<struct wmirouter_perf_t>::Acquire";

// A block name of this test's own, so these cases need no lock.
std::wstring PrivateName()
{
    static int serial = 0;
    return L"Global\\RouterClientBlockTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial);
}

class SharedMemTest : public ::testing::Test {
protected:
    LogRecorder recorder_;
    const std::wstring name_ = PrivateName();
};

TEST_F(SharedMemTest, AReaderNeverCreatesTheBlock)
{
    Block block(true);
    EXPECT_FALSE(block.Initialize(name_.c_str(), 255, FILE_MAP_READ, LogRecorder::Callback()));
    EXPECT_FALSE(block.IsMapped());
    EXPECT_EQ(0, block.ReadStamp());
    EXPECT_EQ(nullptr, block.View());
    const auto messages = LogRecorder::Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(4, messages[0].level);
    EXPECT_EQ(L"Set shared memory " + name_ + L" 255 access: 4", messages[0].message);
    EXPECT_EQ(kInitialize, messages[0].function);
    EXPECT_EQ(3, messages[1].level);
    EXPECT_EQ(L"Shared memory [" + name_ + L"] for performance provider not created yet",
              messages[1].message);
    EXPECT_EQ(kAcquire, messages[1].function);
    EXPECT_EQ(&g_providerLogContext, messages[1].context);
    EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_READ, FALSE, name_.c_str()));
}

TEST_F(SharedMemTest, RefusesBadArgumentsWithoutTouchingTheMapping)
{
    Block publisher(false);
    ASSERT_TRUE(publisher.Initialize(name_.c_str(), 255, FILE_MAP_READ | FILE_MAP_WRITE, nullptr));
    wmirouter_perf_t* view = publisher.View();

    const struct {
        const wchar_t* name;
        unsigned limit;
        DWORD access;
        std::wstring message;
    } cases[] = {
        {name_.c_str(), 255, FILE_MAP_WRITE, L"Invalid type of accees to shared memory: 2 for [" + name_ + L"]"},
        {nullptr, 255, 7, L"Invalid type of accees to shared memory: 7 for []"},
        {nullptr, 255, FILE_MAP_READ, L"Initialization name is empty"},
        {L"", 255, FILE_MAP_READ, L"Initialization name is empty"},
        {name_.c_str(), 0, FILE_MAP_READ, L"Initialization name is empty"},
    };
    for (const auto& c : cases) {
        LogRecorder::Clear();
        EXPECT_FALSE(publisher.Initialize(c.name, c.limit, c.access, LogRecorder::Callback()));
        const auto messages = LogRecorder::Messages();
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(1, messages[0].level);
        EXPECT_EQ(c.message, messages[0].message);
        EXPECT_EQ(kInitialize, messages[0].function);
        EXPECT_EQ(view, publisher.View()) << "the mapping is left as it was";
    }
    LogRecorder::Clear();
    EXPECT_FALSE(publisher.Acquire(L"", 255, FILE_MAP_READ));
    ASSERT_EQ(1u, LogRecorder::Messages().size());
    EXPECT_EQ(L"Bad input parameters", LogRecorder::Messages()[0].message);
    EXPECT_EQ(kAcquire, LogRecorder::Messages()[0].function);
}

TEST_F(SharedMemTest, PublisherCreatesAndReaderSeesExactlyTheStampAndLowCounterHalves)
{
    Block publisher(false);
    ASSERT_TRUE(publisher.Initialize(name_.c_str(), 255, FILE_MAP_READ | FILE_MAP_WRITE, nullptr));
    EXPECT_EQ(35304u, publisher.Size());
    wmirouter_perf_t* record = publisher.View();
    record->update_stamp = 0x0123456789ABCDEFll;
    record->srv_conns = 17;
    record->srv_conns_high = 0xFFFFFFFFu;

    Block reader(true);
    ASSERT_TRUE(reader.Initialize(name_.c_str(), 255, FILE_MAP_READ, nullptr));
    EXPECT_EQ(0u, reader.Size()) << "the block was opened, not created";
    EXPECT_TRUE(reader.IsMapped());
    EXPECT_EQ(0x0123456789ABCDEFll, reader.ReadStamp());
    EXPECT_EQ(17u, reader.View()->srv_conns);
    EXPECT_STREQ(name_.c_str(), reader.Name());

    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_NE(0u, ::VirtualQuery(reader.View(), &info, sizeof info));
    EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), info.Protect) << "the provider's view is read-only";
    EXPECT_GE(info.RegionSize, 35304u);
}

TEST_F(SharedMemTest, SecureCreationAdmitsAdministratorsOnly)
{
    Block publisher(true);
    ASSERT_TRUE(publisher.Initialize(name_.c_str(), 255, FILE_MAP_READ | FILE_MAP_WRITE, nullptr));
    HANDLE mapping = ::OpenFileMappingW(READ_CONTROL, FALSE, name_.c_str());
    ASSERT_NE(nullptr, mapping);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              ::GetSecurityInfo(mapping, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor));
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(1u, dacl->AceCount);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
    EXPECT_EQ(0, ace->Header.AceFlags) << "no inheritance";
    EXPECT_EQ(static_cast<DWORD>(FILE_MAP_READ | FILE_MAP_WRITE), ace->Mask);
    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                           0, 0, 0, 0, 0, 0, &administrators));
    EXPECT_TRUE(::EqualSid(administrators, &ace->SidStart));
    ::FreeSid(administrators);
    ::LocalFree(descriptor);
    ::CloseHandle(mapping);
}

TEST_F(SharedMemTest, ReleaseEndsEmptyAndQuiet)
{
    Block empty(true);
    EXPECT_TRUE(empty.Release());

    Block publisher(false);
    ASSERT_TRUE(publisher.Initialize(name_.c_str(), 255, FILE_MAP_READ | FILE_MAP_WRITE, LogRecorder::Callback()));
    LogRecorder::Clear();
    EXPECT_TRUE(publisher.Release());
    EXPECT_FALSE(publisher.IsMapped());
    EXPECT_EQ(0, publisher.ReadStamp());
    EXPECT_TRUE(LogRecorder::Messages().empty());
    EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_READ, FALSE, name_.c_str()))
        << "the last handle went with the release";
}

TEST_F(SharedMemTest, ReopeningKeepsOneViewAndFollowsARecreatedBlock)
{
    auto publisher = std::make_unique<Block>(false);
    ASSERT_TRUE(publisher->Initialize(name_.c_str(), 255, FILE_MAP_READ | FILE_MAP_WRITE, nullptr));
    publisher->View()->update_stamp = 1;

    Block reader(true);
    ASSERT_TRUE(reader.Initialize(name_.c_str(), 255, FILE_MAP_READ, nullptr));
    const void* firstView = reader.View();
    ASSERT_TRUE(reader.Initialize(name_.c_str(), 255, FILE_MAP_READ, nullptr));
    if (reader.View() != firstView) {
        MEMORY_BASIC_INFORMATION info = {};
        ::VirtualQuery(firstView, &info, sizeof info);
        EXPECT_EQ(static_cast<DWORD>(MEM_FREE), info.State) << "the earlier view was released";
    }

    // The router goes away and comes back with a new block. Re-opening lets
    // go of the stale block first, so the reader follows the router.
    publisher.reset();
    EXPECT_FALSE(reader.Initialize(name_.c_str(), 255, FILE_MAP_READ, nullptr));
    publisher = std::make_unique<Block>(false);
    ASSERT_TRUE(publisher->Initialize(name_.c_str(), 255, FILE_MAP_READ | FILE_MAP_WRITE, nullptr));
    EXPECT_EQ(35304u, publisher->Size()) << "created anew";
    publisher->View()->update_stamp = 2;
    ASSERT_TRUE(reader.Initialize(name_.c_str(), 255, FILE_MAP_READ, nullptr));
    EXPECT_EQ(2, reader.ReadStamp());
}

}  // namespace
