// Registry::RenameKey against the real registry: the tree arrives whole, the
// old key goes only then, refusals change nothing, and the hive file it goes
// through never stays behind.

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/registry/registry.h"
#include "common/util/unique_resource.h"
#include "scoped_registry_key.h"

namespace {

constexpr const char* kHiveFile = "KOVTempRegistryKeys";

bool HiveFileExists()
{
    return ::GetFileAttributesA(kHiveFile) != INVALID_FILE_ATTRIBUTES;
}

// The attributes of one privilege in a token; 0 when it is not held.
DWORD PrivilegeAttributes(HANDLE token, const char* name)
{
    LUID luid = {};
    if (!::LookupPrivilegeValueA(nullptr, name, &luid)) {
        ADD_FAILURE() << "LookupPrivilegeValueA " << name << ": " << ::GetLastError();
        return 0;
    }
    DWORD size = 0;
    // Asks for the size only; fails with ERROR_INSUFFICIENT_BUFFER by design.
    (void)::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<char> buffer(size);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        ADD_FAILURE() << "GetTokenInformation: " << ::GetLastError();
        return 0;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& held = privileges->Privileges[i].Luid;
        if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart) {
            return privileges->Privileges[i].Attributes;
        }
    }
    return 0;
}

class RegistryRenameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(HiveFileExists()) << "a hive file from elsewhere is in the way";
        scope_.SetString("Old", "", "default text");
        scope_.SetString("Old", "Name", "value");
        scope_.SetDword("Old", "Count", 42);
        scope_.SetValue("Old", "Blob", REG_BINARY, "\0\1\2", 3);
        scope_.SetValue("Old", "List", REG_MULTI_SZ, "a\0bc\0\0", 6);
        scope_.SetString("Old\\Sub", "Inner", "%windir%", REG_EXPAND_SZ);
        scope_.SetDword("Old\\Sub\\Deeper", "Level", 3);
        scope_.CreateSubKey("Old\\Empty");
        ASSERT_TRUE(parent_.Open(true));
    }

    void TearDown() override { EXPECT_FALSE(HiveFileExists()); }

    ScopedRegistryKey scope_;
    Registry parent_{HKEY_CURRENT_USER, scope_.Path().c_str()};
};

TEST_F(RegistryRenameTest, MovesTheWholeTreeAndRemovesTheOldKey)
{
    const struct {
        const char* label;
        std::function<bool(Registry&)> rename;
    } cases[] = {
        {"ansi", [](Registry& r) { return r.RenameKey("Old", "New"); }},
        {"wide", [](Registry& r) { return r.RenameKey(L"New", L"Old"); }},
    };
    const ScopedRegistryKey::Tree tree = scope_.Snapshot("Old");
    ASSERT_EQ(11u, tree.size());
    const char* from = "Old";
    const char* to = "New";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_TRUE(c.rename(parent_));
        EXPECT_EQ(0, parent_.LastError());
        EXPECT_FALSE(scope_.Exists(from));
        EXPECT_EQ(tree, scope_.Snapshot(to));
        EXPECT_FALSE(HiveFileExists());
        std::swap(from, to);
    }
    EXPECT_TRUE(parent_.IsOpen());
}

TEST_F(RegistryRenameTest, PrivilegesAreAsBeforeAfterwards)
{
    unique_handle process;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, process.put()));
    const DWORD backup = PrivilegeAttributes(process.get(), "SeBackupPrivilege");
    const DWORD restore = PrivilegeAttributes(process.get(), "SeRestorePrivilege");
    EXPECT_TRUE(parent_.RenameKey("Old", "New"));
    EXPECT_EQ(backup, PrivilegeAttributes(process.get(), "SeBackupPrivilege"));
    EXPECT_EQ(restore, PrivilegeAttributes(process.get(), "SeRestorePrivilege"));
}

TEST_F(RegistryRenameTest, WithoutTheBackupPrivilegeTheTreeStillMoves)
{
    // A thread token of its own with the backup privilege removed: the save
    // is refused (and leaves an empty file behind under Wine).
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
    unique_handle thread;
    ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                  FALSE, thread.put()));
    TOKEN_PRIVILEGES removed = {};
    removed.PrivilegeCount = 1;
    removed.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
    ASSERT_TRUE(::LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &removed.Privileges[0].Luid));
    ASSERT_TRUE(::AdjustTokenPrivileges(thread.get(), FALSE, &removed, 0, nullptr, nullptr));
    ASSERT_EQ(0u, PrivilegeAttributes(thread.get(), "SeBackupPrivilege"));

    const ScopedRegistryKey::Tree tree = scope_.Snapshot("Old");
    EXPECT_TRUE(parent_.RenameKey("Old", "New"));
    EXPECT_EQ(0, parent_.LastError());
    EXPECT_FALSE(scope_.Exists("Old"));
    EXPECT_EQ(tree, scope_.Snapshot("New"));
    EXPECT_TRUE(::RevertToSelf());
}

TEST_F(RegistryRenameTest, RefusalsChangeNothing)
{
    scope_.SetDword("Taken", "Mine", 1);
    const struct {
        const char* label;
        std::function<bool(Registry&)> rename;
        LONG error;
    } cases[] = {
        {"onto an existing key", [](Registry& r) { return r.RenameKey("Old", "Taken"); }, 0},
        {"onto itself", [](Registry& r) { return r.RenameKey(L"Old", L"OLD"); }, 0},
        {"into itself", [](Registry& r) { return r.RenameKey("Old", "old\\Inner"); }, 0},
        {"from a missing key", [](Registry& r) { return r.RenameKey("Missing", "New"); },
         ERROR_FILE_NOT_FOUND},
        {"empty old name", [](Registry& r) { return r.RenameKey("", "New"); }, 0},
        {"empty new name", [](Registry& r) { return r.RenameKey(L"Old", L""); }, 0},
        {"null name", [](Registry& r) { return r.RenameKey(nullptr, "New"); }, 0},
    };
    const ScopedRegistryKey::Tree before = scope_.Snapshot("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(c.rename(parent_));
        EXPECT_EQ(c.error, parent_.LastError());
        EXPECT_EQ(before, scope_.Snapshot(""));
        EXPECT_FALSE(HiveFileExists());
    }
}

TEST_F(RegistryRenameTest, NeedsAnOpenKey)
{
    Registry closed(HKEY_CURRENT_USER, scope_.Path().c_str());
    const ScopedRegistryKey::Tree before = scope_.Snapshot("");
    EXPECT_FALSE(closed.RenameKey("Old", "New"));
    EXPECT_EQ(0, closed.LastError());
    EXPECT_FALSE(closed.RenameKey(L"Old", L"New"));
    EXPECT_EQ(0, closed.LastError());
    EXPECT_EQ(before, scope_.Snapshot(""));
}

}  // namespace
