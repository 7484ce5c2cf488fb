// Registry: construction, paths, opening, creating, deleting and walking keys,
// against the real registry in private keys.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "common/registry/registry.h"
#include "scoped_registry_key.h"

namespace {

std::string Text(const char* text)
{
    return text != nullptr ? text : "<null>";
}

struct ConstructionCase {
    const char* label;
    std::function<std::unique_ptr<Registry>()> make;
    HKEY root;
    const char* path;
};

TEST(RegistryConstruction, RootAndPathFromEachConstructor)
{
    const ConstructionCase cases[] = {
        {"default", [] { return std::make_unique<Registry>(); }, HKEY_LOCAL_MACHINE, nullptr},
        {"view", [] { return std::make_unique<Registry>(1, true); }, HKEY_LOCAL_MACHINE, nullptr},
        {"ansi", [] { return std::make_unique<Registry>("A\\B"); }, HKEY_LOCAL_MACHINE, "A\\B"},
        {"ansi user", [] { return std::make_unique<Registry>("A\\B", true); }, HKEY_CURRENT_USER,
         "A\\B"},
        {"wide", [] { return std::make_unique<Registry>(L"A\\B"); }, HKEY_LOCAL_MACHINE, "A\\B"},
        {"wide user", [] { return std::make_unique<Registry>(L"A\\B", true, true); },
         HKEY_CURRENT_USER, "A\\B"},
        // Stored in the ANSI code page (1252 under Wine).
        {"wide to ansi", [] { return std::make_unique<Registry>(L"Caf\u00e9"); },
         HKEY_LOCAL_MACHINE, "Caf\xe9"},
        {"root ansi", [] { return std::make_unique<Registry>(HKEY_CLASSES_ROOT, "X"); },
         HKEY_CLASSES_ROOT, "X"},
        {"root wide", [] { return std::make_unique<Registry>(HKEY_USERS, L"Y\\Z"); }, HKEY_USERS,
         "Y\\Z"},
        {"null path", [] { return std::make_unique<Registry>(static_cast<const char*>(nullptr)); },
         HKEY_LOCAL_MACHINE, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto registry = c.make();
        EXPECT_EQ(c.root, registry->Root());
        EXPECT_EQ(Text(c.path), Text(registry->Path()));
        EXPECT_FALSE(registry->IsOpen());
        EXPECT_EQ(0, registry->LastError());
    }
}

TEST(RegistryConstruction, LeafNameIsThePartAfterTheLastBackslash)
{
    const struct {
        const char* path;
        const char* leaf;
    } cases[] = {
        {"Software\\Test\\Sub", "Sub"},
        {"Sub", "Sub"},
        {"Software\\Test\\", ""},
        {"\\Sub", "Sub"},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Registry registry(c.path);
        EXPECT_EQ(Text(c.leaf), Text(registry.LeafName()));
    }
}

TEST(RegistryConstruction, SubKeyPathJoinsWithOneBackslash)
{
    const struct {
        const char* path;
        const char* name;
        std::size_t size;
        const char* expected;
    } cases[] = {
        {"Software\\Test", "Sub", 64, "Software\\Test\\Sub"},
        {"Software\\Test\\", "Sub", 64, "Software\\Test\\Sub"},
        {"", "Sub", 64, "Sub"},
        {"AB", "CD", 4, "AB\\"},
        {"AB", "CD", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " + " + c.name);
        Registry registry(c.path);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        ASSERT_TRUE(registry.SubKeyPath(c.name, buffer, c.size));
        EXPECT_STREQ(c.expected, buffer);

        wchar_t wide[64];
        const std::wstring name(c.name, c.name + std::strlen(c.name));
        ASSERT_TRUE(registry.SubKeyPath(name.c_str(), wide, c.size));
        EXPECT_EQ(std::wstring(c.expected, c.expected + std::strlen(c.expected)), wide);
    }
    Registry registry("A");
    EXPECT_FALSE(registry.SubKeyPath("B", static_cast<char*>(nullptr), 10));
    char buffer[4];
    EXPECT_FALSE(registry.SubKeyPath("B", buffer, 0));
}

class RegistryKeyTest : public ::testing::Test {
protected:
    ScopedRegistryKey scope_;
};

TEST_F(RegistryKeyTest, OpenOfAMissingKeyFailsWithTheSystemStatus)
{
    Registry registry(HKEY_CURRENT_USER, (scope_ / "Missing").c_str());
    EXPECT_FALSE(registry.Open());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    EXPECT_FALSE(registry.IsOpen());
    EXPECT_FALSE(scope_.Exists("Missing"));
}

TEST_F(RegistryKeyTest, CreateMakesTheKeyAndOpensAnExistingOne)
{
    Registry registry((scope_ / "New\\Deeper").c_str(), true);
    ASSERT_TRUE(registry.Create());
    EXPECT_TRUE(registry.IsOpen());
    EXPECT_EQ(0, registry.LastError());
    EXPECT_TRUE(scope_.Exists("New\\Deeper"));
    EXPECT_TRUE(registry.WriteDword("Value", 7));
    registry.Close();
    EXPECT_FALSE(registry.IsOpen());

    Registry again((scope_ / "New\\Deeper").c_str(), true);
    ASSERT_TRUE(again.Create());
    std::int32_t value = 0;
    EXPECT_TRUE(again.ReadDword("Value", value));
    EXPECT_EQ(7, value);
}

TEST_F(RegistryKeyTest, OpenOnAnOpenObjectKeepsTheFirstOpening)
{
    scope_.CreateSubKey("Key");
    Registry registry((scope_ / "Key").c_str(), true);
    ASSERT_TRUE(registry.Open(false));
    // Still the read-only handle: a write is refused by the system.
    EXPECT_TRUE(registry.Open(true));
    EXPECT_EQ(0, registry.LastError());
    EXPECT_FALSE(registry.WriteDword("Value", 1));
    EXPECT_EQ(ERROR_ACCESS_DENIED, registry.LastError());
    EXPECT_TRUE(registry.Create());
    EXPECT_FALSE(registry.WriteDword("Value", 1));
    EXPECT_EQ(ERROR_ACCESS_DENIED, registry.LastError());
}

TEST_F(RegistryKeyTest, PathSettingFormsOnAnOpenObjectKeepTheOldPath)
{
    scope_.CreateSubKey("Key");
    scope_.CreateSubKey("Other");
    const std::string path = scope_ / "Key";
    const std::string other = scope_ / "Other";
    const std::wstring wideOther(other.begin(), other.end());
    const struct {
        const char* label;
        std::function<bool(Registry&)> call;
    } cases[] = {
        {"Open ansi", [&](Registry& r) { return r.Open(other.c_str(), true); }},
        {"Open wide", [&](Registry& r) { return r.Open(wideOther.c_str()); }},
        {"Create ansi", [&](Registry& r) { return r.Create(other.c_str()); }},
        {"Create wide", [&](Registry& r) { return r.Create(wideOther.c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Registry registry(path.c_str(), true);
        ASSERT_TRUE(registry.Open(true));
        EXPECT_FALSE(c.call(registry));
        EXPECT_EQ(0, registry.LastError());
        EXPECT_EQ(path, Text(registry.Path()));
        EXPECT_TRUE(registry.IsOpen());
        // Still the first key.
        EXPECT_TRUE(registry.WriteDword("Marker", 1));
        EXPECT_TRUE(scope_.Value("Key", "Marker").has_value());
        EXPECT_FALSE(scope_.Value("Other", "Marker").has_value());
    }
}

TEST_F(RegistryKeyTest, OpenWithAPathStoresItAndOpens)
{
    scope_.SetDword("Key", "Value", 5);
    const std::string path = scope_ / "Key";
    const std::wstring widePath(path.begin(), path.end());
    Registry ansi(HKEY_CURRENT_USER, "");
    ASSERT_TRUE(ansi.Open(path.c_str()));
    EXPECT_EQ(path, Text(ansi.Path()));
    Registry wide(HKEY_CURRENT_USER, "");
    ASSERT_TRUE(wide.Open(widePath.c_str()));
    EXPECT_EQ(path, Text(wide.Path()));
    for (Registry* registry : {&ansi, &wide}) {
        std::uint32_t value = 0;
        EXPECT_TRUE(registry->ReadDword("Value", value));
        EXPECT_EQ(5u, value);
    }
}

TEST_F(RegistryKeyTest, CloseLeavesTheLastErrorAsItWas)
{
    scope_.CreateSubKey("Key");
    Registry registry((scope_ / "Key").c_str(), true);
    ASSERT_TRUE(registry.Open());
    std::int32_t value = 0;
    EXPECT_FALSE(registry.ReadDword("Missing", value));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    registry.Close();
    EXPECT_FALSE(registry.IsOpen());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    registry.Close();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
}

TEST_F(RegistryKeyTest, DeleteKeyRemovesThreeLevelsBelowFirst)
{
    scope_.SetDword("Top", "V", 1);
    scope_.SetDword("Top\\A\\A1\\Leaf", "V", 2);
    scope_.SetDword("Top\\A\\A2", "V", 3);
    scope_.SetDword("Top\\B\\B1\\Leaf", "V", 4);
    scope_.CreateSubKey("Sibling");
    Registry registry((scope_ / "Top").c_str(), true);
    EXPECT_TRUE(registry.DeleteKey());
    EXPECT_EQ(0, registry.LastError());
    EXPECT_FALSE(registry.IsOpen());
    EXPECT_FALSE(scope_.Exists("Top"));
    EXPECT_TRUE(scope_.Exists("Sibling"));
}

TEST_F(RegistryKeyTest, DeleteKeyWithAPathStoresItAndDeletes)
{
    scope_.CreateSubKey("Ansi\\Child");
    scope_.CreateSubKey("Wide\\Child");
    Registry registry(HKEY_CURRENT_USER, "");
    EXPECT_TRUE(registry.DeleteKey((scope_ / "Ansi").c_str()));
    EXPECT_EQ(scope_ / "Ansi", Text(registry.Path()));
    const std::string wide = scope_ / "Wide";
    EXPECT_TRUE(registry.DeleteKey(std::wstring(wide.begin(), wide.end()).c_str()));
    EXPECT_EQ(wide, Text(registry.Path()));
    EXPECT_FALSE(scope_.Exists("Ansi"));
    EXPECT_FALSE(scope_.Exists("Wide"));
}

TEST_F(RegistryKeyTest, AMissingKeyCountsAsDeleted)
{
    Registry registry((scope_ / "Missing\\Below").c_str(), true);
    EXPECT_TRUE(registry.DeleteKey());
    EXPECT_EQ(0, registry.LastError());
}

TEST_F(RegistryKeyTest, DeleteKeyOnAnOpenObjectDeletesNothing)
{
    scope_.CreateSubKey("Key\\Child");
    scope_.CreateSubKey("Other");
    Registry registry((scope_ / "Key").c_str(), true);
    ASSERT_TRUE(registry.Open());
    std::int32_t value = 0;
    EXPECT_FALSE(registry.ReadDword("Missing", value));
    ASSERT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());

    // With a path: refused, the status of the read before stays.
    EXPECT_FALSE(registry.DeleteKey((scope_ / "Other").c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    EXPECT_FALSE(registry.DeleteKey(L"Other"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    EXPECT_EQ(scope_ / "Key", Text(registry.Path()));
    // Without one: refused, the status cleared.
    EXPECT_FALSE(registry.DeleteKey());
    EXPECT_EQ(0, registry.LastError());
    EXPECT_TRUE(registry.IsOpen());
    EXPECT_TRUE(scope_.Exists("Key\\Child"));
    EXPECT_TRUE(scope_.Exists("Other"));
}

TEST_F(RegistryKeyTest, DeleteKeyWithAnEmptyPathNeverTouchesTheRoot)
{
    scope_.CreateSubKey("Child");
    Registry registry(scope_.Key(), "");
    EXPECT_FALSE(registry.DeleteKey());
    EXPECT_EQ(0, registry.LastError());
    EXPECT_TRUE(scope_.Exists("Child"));
    EXPECT_EQ(scope_.Key(), registry.Root());
}

TEST_F(RegistryKeyTest, CountsOfSubKeysAndValues)
{
    scope_.CreateSubKey("Key\\One");
    scope_.CreateSubKey("Key\\Two");
    scope_.SetDword("Key", "A", 1);
    scope_.SetDword("Key", "B", 2);
    scope_.SetDword("Key", "C", 3);
    Registry registry((scope_ / "Key").c_str(), true);
    std::uint64_t count = 99;
    EXPECT_FALSE(registry.SubKeyCount(&count));
    EXPECT_FALSE(registry.ValueCount(&count));
    EXPECT_EQ(0, registry.LastError());
    EXPECT_EQ(99u, count);
    ASSERT_TRUE(registry.Open());
    EXPECT_TRUE(registry.SubKeyCount(&count));
    EXPECT_EQ(2u, count);
    EXPECT_TRUE(registry.ValueCount(&count));
    EXPECT_EQ(3u, count);
    EXPECT_FALSE(registry.SubKeyCount(nullptr));
    EXPECT_FALSE(registry.ValueCount(nullptr));
    EXPECT_EQ(0, registry.LastError());
}

TEST_F(RegistryKeyTest, EnumSubKeyJoinsThePathWithAndWithoutATrailingBackslash)
{
    scope_.CreateSubKey("Test\\Sub");
    const std::string expected = scope_ / "Test\\Sub";
    for (const std::string& path : {scope_ / "Test", scope_ / "Test\\"}) {
        SCOPED_TRACE(path);
        Registry registry(path.c_str(), true);
        ASSERT_TRUE(registry.Open());
        char full[260];
        char name[16];
        ASSERT_TRUE(registry.EnumSubKey(0, full, sizeof full, name, sizeof name));
        EXPECT_EQ(expected, full);
        EXPECT_STREQ("Sub", name);

        wchar_t wideFull[260];
        wchar_t wideName[16];
        ASSERT_TRUE(registry.EnumSubKey(0, wideFull, 260, wideName, 16));
        EXPECT_EQ(std::wstring(expected.begin(), expected.end()), wideFull);
        EXPECT_STREQ(L"Sub", wideName);
    }
}

TEST_F(RegistryKeyTest, EnumSubKeyCutsToTheBuffersAndNeedsAFullPathOnlyInAnsi)
{
    scope_.CreateSubKey("Test\\Longer");
    Registry registry(scope_.Key(), "Test");
    ASSERT_TRUE(registry.Open());
    char full[8];
    char name[4];
    ASSERT_TRUE(registry.EnumSubKey(0, full, sizeof full, name, sizeof name));
    EXPECT_STREQ("Test\\Lo", full);
    EXPECT_STREQ("Lon", name);

    EXPECT_FALSE(registry.EnumSubKey(0, static_cast<char*>(nullptr), 0, name, sizeof name));
    EXPECT_EQ(0, registry.LastError());

    wchar_t wideName[16];
    EXPECT_TRUE(registry.EnumSubKey(0, static_cast<wchar_t*>(nullptr), 0, wideName, 16));
    EXPECT_STREQ(L"Longer", wideName);
    EXPECT_TRUE(registry.EnumSubKey(0, static_cast<wchar_t*>(nullptr), 0));

    EXPECT_FALSE(registry.EnumSubKey(1, full, sizeof full));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, registry.LastError());
    EXPECT_FALSE(registry.EnumSubKey(1, static_cast<wchar_t*>(nullptr), 0));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, registry.LastError());

    Registry closed(scope_.Key(), "Test");
    EXPECT_FALSE(closed.EnumSubKey(0, full, sizeof full));
    EXPECT_EQ(0, closed.LastError());
}

TEST_F(RegistryKeyTest, OnAnEmptyPathTheFullPathIsTheNameAlone)
{
    scope_.SetDword("Sub", "V", 9);
    Registry registry(scope_.Key(), "");
    ASSERT_TRUE(registry.Open());
    char full[64];
    ASSERT_TRUE(registry.EnumSubKey(0, full, sizeof full));
    EXPECT_STREQ("Sub", full);
    wchar_t wide[64];
    ASSERT_TRUE(registry.EnumSubKey(0, wide, 64));
    EXPECT_STREQ(L"Sub", wide);

    Registry other;
    ASSERT_TRUE(registry.OpenSubKey(0, other));
    EXPECT_STREQ("Sub", other.Path());
    EXPECT_EQ(scope_.Key(), other.Root());
    std::int32_t value = 0;
    EXPECT_TRUE(other.ReadDword("V", value));
    EXPECT_EQ(9, value);
}

TEST_F(RegistryKeyTest, OpenSubKeyPointsTheOtherObjectAtTheSubKeyReadOnly)
{
    scope_.SetDword("Parent\\Child", "V", 3);
    scope_.CreateSubKey("Elsewhere");
    Registry parent((scope_ / "Parent").c_str(), true);
    ASSERT_TRUE(parent.Open());
    // The other object was open on another key under another root.
    Registry other(HKEY_LOCAL_MACHINE, "Software");
    ASSERT_TRUE(other.Open());
    ASSERT_TRUE(parent.OpenSubKey(0, other));
    EXPECT_EQ(HKEY_CURRENT_USER, other.Root());
    EXPECT_EQ(scope_ / "Parent\\Child", Text(other.Path()));
    EXPECT_TRUE(other.IsOpen());
    std::int32_t value = 0;
    EXPECT_TRUE(other.ReadDword("V", value));
    EXPECT_EQ(3, value);
    EXPECT_FALSE(other.WriteDword("V", 4));
    EXPECT_EQ(ERROR_ACCESS_DENIED, other.LastError());

    EXPECT_FALSE(parent.OpenSubKey(1, other));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, parent.LastError());
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(nullptr, other.Path());

    EXPECT_FALSE(parent.OpenSubKey(0, parent));
    EXPECT_TRUE(parent.IsOpen());
}

class RegistryViewTest : public ::testing::Test {
protected:
    ScopedRegistryKey scope32_{HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};
};

TEST_F(RegistryViewTest, TheThirtyTwoBitViewCreatesOpensAndDeletesInItsOwnTree)
{
    const std::string path = scope32_ / "Key";
    Registry created(Registry::kView32, false);
    ASSERT_TRUE(created.Create((path + "\\Child").c_str()));
    EXPECT_TRUE(created.WriteString("Name", "value"));
    created.Close();
    EXPECT_TRUE(scope32_.Value("Key\\Child", "Name").has_value());
    // Wine, like Windows, keeps that view apart from the 64-bit one.
    Registry native(path.c_str());
    EXPECT_FALSE(native.Open());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, native.LastError());

    Registry opened(Registry::kView32, false);
    ASSERT_TRUE(opened.Open(path.c_str()));
    std::uint64_t count = 0;
    EXPECT_TRUE(opened.SubKeyCount(&count));
    EXPECT_EQ(1u, count);
    opened.Close();

    Registry deleted(Registry::kView32, false);
    EXPECT_TRUE(deleted.DeleteKey(path.c_str()));
    EXPECT_EQ(0, deleted.LastError());
    EXPECT_FALSE(scope32_.Exists("Key"));
}

}  // namespace
