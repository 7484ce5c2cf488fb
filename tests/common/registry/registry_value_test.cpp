// Registry: value reads and writes in both text forms, the value-name set and
// value enumeration, against the real registry in private keys.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/registry/registry.h"
#include "scoped_registry_key.h"

namespace {

using Raw = ScopedRegistryKey::RawValue;

std::string Bytes(const void* data, std::size_t size)
{
    return std::string(static_cast<const char*>(data), size);
}

std::string WideBytes(const std::wstring& text)
{
    return Bytes(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

std::string DwordBytes(DWORD value)
{
    return Bytes(&value, sizeof value);
}

// Which WriteDword argument types resolve to exactly one overload.
template <typename T, typename = void>
struct WritesDword : std::false_type {};
template <typename T>
struct WritesDword<T, std::void_t<decltype(std::declval<Registry&>().WriteDword(
                          "n", std::declval<T>()))>> : std::true_type {};

static_assert(WritesDword<int>::value, "int literals");
static_assert(WritesDword<DWORD>::value, "DWORD");
static_assert(WritesDword<LONG>::value, "LONG");
static_assert(WritesDword<std::int32_t>::value, "int32");
static_assert(WritesDword<std::uint32_t>::value, "uint32");
static_assert(WritesDword<bool>::value, "bool");
static_assert(WritesDword<short>::value, "short promotes to int");
static_assert(!WritesDword<const char*>::value, "a pointer never becomes a bool");
static_assert(!WritesDword<std::int64_t>::value, "64 bits need a cast");

class RegistryValueTest : public ::testing::Test {
protected:
    // An open object on the private key's sub-key "Key".
    Registry& Opened(bool keepValueNames = false)
    {
        scope_.CreateSubKey("Key");
        registry_ = std::make_unique<Registry>(HKEY_CURRENT_USER, (scope_ / "Key").c_str(),
                                               keepValueNames);
        EXPECT_TRUE(registry_->Open(true));
        return *registry_;
    }

    ScopedRegistryKey scope_;
    std::unique_ptr<Registry> registry_;
};

struct Operation {
    const char* label;
    std::function<bool(Registry&)> call;
};

// One of each value operation, in both text forms.
std::vector<Operation> AllValueOperations()
{
    return {
        {"WriteString", [](Registry& r) { return r.WriteString("S", "x"); }},
        {"WriteString W", [](Registry& r) { return r.WriteString(L"S", L"x"); }},
        {"WriteDword", [](Registry& r) { return r.WriteDword("D", 1); }},
        {"WriteDword W", [](Registry& r) { return r.WriteDword(L"D", true); }},
        {"WriteQword", [](Registry& r) { return r.WriteQword("Q", 1); }},
        {"WriteQword W", [](Registry& r) { return r.WriteQword(L"Q", 1); }},
        {"WriteBinary", [](Registry& r) { return r.WriteBinary("B", "ab", 2); }},
        {"WriteBinary W", [](Registry& r) { return r.WriteBinary(L"B", "ab", 2); }},
        {"WriteMultiString", [](Registry& r) { return r.WriteMultiString("M", {"a"}); }},
        {"WriteMultiString W", [](Registry& r) { return r.WriteMultiString(L"M", {L"a"}); }},
        {"DeleteValue", [](Registry& r) { return r.DeleteValue("S"); }},
        {"DeleteValue W", [](Registry& r) { return r.DeleteValue(L"S"); }},
        {"ValueSize", [](Registry& r) { DWORD s = 0; return r.ValueSize("S", s); }},
        {"ValueSize W", [](Registry& r) { DWORD s = 0; return r.ValueSize(L"S", s); }},
        {"ReadString", [](Registry& r) { char b[8]; return r.ReadString("S", b, 8); }},
        {"ReadString W", [](Registry& r) { wchar_t b[8]; return r.ReadString(L"S", b, 8); }},
        {"ReadDword", [](Registry& r) { std::int32_t v; return r.ReadDword("D", v); }},
        {"ReadDword W", [](Registry& r) { bool v; return r.ReadDword(L"D", v); }},
        {"ReadQword", [](Registry& r) { std::uint64_t v; return r.ReadQword("Q", v); }},
        {"ReadQword W", [](Registry& r) { std::uint64_t v; return r.ReadQword(L"Q", v); }},
        {"ReadBinary", [](Registry& r) { char b[8]; DWORD s = 8; return r.ReadBinary("B", b, s); }},
        {"ReadBinary W",
         [](Registry& r) { char b[8]; DWORD s = 8; return r.ReadBinary(L"B", b, s); }},
        {"ReadMultiString",
         [](Registry& r) { std::vector<std::string> v; return r.ReadMultiString("M", v); }},
        {"ReadMultiString W",
         [](Registry& r) { std::vector<std::wstring> v; return r.ReadMultiString(L"M", v); }},
        {"EnumValueName", [](Registry& r) { char n[8]; return r.EnumValueName(0, n, 8); }},
        {"EnumValueName W", [](Registry& r) { wchar_t n[8]; return r.EnumValueName(0, n, 8); }},
        {"EnumValue",
         [](Registry& r) { char n[8]; DWORD s = 0; return r.EnumValue(0, n, 8, nullptr, nullptr, s); }},
        {"EnumValue W",
         [](Registry& r) {
             wchar_t n[8];
             DWORD s = 0;
             return r.EnumValue(0, n, 8, nullptr, nullptr, s);
         }},
    };
}

TEST_F(RegistryValueTest, EveryValueOperationNeedsAnOpenKey)
{
    scope_.SetString("Key", "S", "text");
    Registry registry(HKEY_CURRENT_USER, (scope_ / "Key").c_str());
    for (const auto& operation : AllValueOperations()) {
        SCOPED_TRACE(operation.label);
        EXPECT_FALSE(operation.call(registry));
        EXPECT_EQ(0, registry.LastError());
    }
    EXPECT_EQ((Raw{REG_SZ, Bytes("text", 5)}), scope_.Value("Key", "S"));
}

TEST_F(RegistryValueTest, ReadsOfAMissingValueFailWithFileNotFound)
{
    Registry& registry = Opened();
    for (const auto& operation : AllValueOperations()) {
        const std::string label = operation.label;
        if (label.rfind("Read", 0) != 0 && label.rfind("ValueSize", 0) != 0 &&
            label.rfind("DeleteValue", 0) != 0) {
            continue;
        }
        SCOPED_TRACE(label);
        EXPECT_FALSE(operation.call(registry));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    }
}

TEST_F(RegistryValueTest, ReadsOfAnotherTypeFailWithoutAStatus)
{
    Registry& registry = Opened();
    scope_.SetString("Key", "Text", "longer than eight bytes");
    scope_.SetString("Key", "Ab", "ab");
    scope_.SetDword("Key", "Number", 42);
    scope_.SetValue("Key", "Four", REG_BINARY, "\1\2\3\4", 4);
    scope_.SetValue("Key", "List", REG_MULTI_SZ, "a\0b\0", 5);
    std::int32_t dword = -7;
    bool flag = true;
    std::uint64_t qword = 5;
    const Operation cases[] = {
        {"dword of text", [&](Registry& r) { return r.ReadDword("Text", dword); }},
        {"dword of short text", [&](Registry& r) { return r.ReadDword("Ab", dword); }},
        {"dword of binary", [&](Registry& r) { return r.ReadDword(L"Four", dword); }},
        {"bool of text", [&](Registry& r) { return r.ReadDword("Text", flag); }},
        {"qword of dword", [&](Registry& r) { return r.ReadQword("Number", qword); }},
        {"qword of text", [&](Registry& r) { return r.ReadQword(L"Text", qword); }},
        {"string of dword", [](Registry& r) { char b[32]; return r.ReadString("Number", b, 32); }},
        {"string of list",
         [](Registry& r) { wchar_t b[32]; return r.ReadString(L"List", b, 32); }},
        {"binary of text",
         [](Registry& r) { char b[64]; DWORD s = 64; return r.ReadBinary("Text", b, s); }},
        {"binary of dword",
         [](Registry& r) { char b[64]; DWORD s = 64; return r.ReadBinary(L"Number", b, s); }},
        {"list of text",
         [](Registry& r) { std::vector<std::string> v; return r.ReadMultiString("Text", v); }},
        {"list of dword",
         [](Registry& r) { std::vector<std::wstring> v; return r.ReadMultiString(L"Number", v); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(c.call(registry));
        EXPECT_EQ(0, registry.LastError());
    }
    // The outputs stay as they were.
    EXPECT_EQ(-7, dword);
    EXPECT_TRUE(flag);
    EXPECT_EQ(5u, qword);
}

TEST_F(RegistryValueTest, StringsAreStoredWithTheirTerminator)
{
    Registry& registry = Opened();
    EXPECT_TRUE(registry.WriteString("Ansi", "text"));
    EXPECT_TRUE(registry.WriteString(L"Wide", L"t\u00e9xt"));
    EXPECT_TRUE(registry.WriteString("", "default"));
    EXPECT_EQ((Raw{REG_SZ, Bytes("text", 5)}), scope_.Value("Key", "Ansi"));
    EXPECT_EQ((Raw{REG_SZ, WideBytes(L"t\u00e9xt")}), scope_.WideValue("Key", L"Wide"));
    EXPECT_EQ((Raw{REG_SZ, Bytes("default", 8)}), scope_.Value("Key", ""));

    char ansi[16];
    EXPECT_TRUE(registry.ReadString("Wide", ansi, 16));
    EXPECT_STREQ("t\xe9xt", ansi);
    wchar_t wide[16];
    EXPECT_TRUE(registry.ReadString(L"Ansi", wide, 16));
    EXPECT_STREQ(L"text", wide);
    EXPECT_TRUE(registry.ReadString(L"", wide, 16));
    EXPECT_STREQ(L"default", wide);

    EXPECT_FALSE(registry.WriteString("Null", static_cast<const char*>(nullptr)));
    EXPECT_EQ(0, registry.LastError());
    EXPECT_FALSE(scope_.Value("Key", "Null").has_value());
}

TEST_F(RegistryValueTest, ReadStringCutsToTheBufferLessOne)
{
    Registry& registry = Opened();
    scope_.SetString("Key", "Text", "abcdef");
    char ansi[8];
    std::memset(ansi, 'x', sizeof ansi);
    EXPECT_TRUE(registry.ReadString("Text", ansi, 4));
    EXPECT_EQ(Bytes("abc\0xxxx", 8), Bytes(ansi, 8));
    wchar_t wide[4];
    EXPECT_TRUE(registry.ReadString(L"Text", wide, 4));
    EXPECT_STREQ(L"abc", wide);
    EXPECT_TRUE(registry.ReadString(L"Text", wide, 1));
    EXPECT_STREQ(L"", wide);
    EXPECT_FALSE(registry.ReadString("Text", ansi, 0));
    EXPECT_FALSE(registry.ReadString("Text", static_cast<char*>(nullptr), 8));
    EXPECT_EQ(0, registry.LastError());
}

TEST_F(RegistryValueTest, ReadStringHoldsUpTo512CharactersOrTheCallersSize)
{
    Registry& registry = Opened();
    const std::string fits(511, 'f');
    const std::string large(600, 'l');
    scope_.SetString("Key", "Fits", fits);
    scope_.SetString("Key", "Large", large);
    std::vector<char> small(8);
    EXPECT_TRUE(registry.ReadString("Fits", small.data(), 8));
    EXPECT_EQ(std::string(7, 'f'), small.data());
    // Larger than the internal buffer and the caller's.
    EXPECT_FALSE(registry.ReadString("Large", small.data(), 8));
    EXPECT_EQ(ERROR_MORE_DATA, registry.LastError());
    std::vector<wchar_t> wideSmall(8);
    EXPECT_FALSE(registry.ReadString(L"Large", wideSmall.data(), 8));
    EXPECT_EQ(ERROR_MORE_DATA, registry.LastError());
    // A caller's buffer of 513 or more is read into directly.
    std::vector<char> big(601);
    EXPECT_TRUE(registry.ReadString("Large", big.data(), 601));
    EXPECT_EQ(large, big.data());
    std::vector<wchar_t> wideBig(601);
    EXPECT_TRUE(registry.ReadString(L"Large", wideBig.data(), 601));
    EXPECT_EQ(std::wstring(600, L'l'), wideBig.data());
}

TEST_F(RegistryValueTest, ReadStringWithADefaultPadsWithZeros)
{
    Registry& registry = Opened();
    scope_.SetString("Key", "Text", "stored");
    const struct {
        const char* name;
        const char* defaultText;
        DWORD size;
        std::string expected;
    } cases[] = {
        {"Text", "fallback", 10, Bytes("stored\0xxx", 10)},  // a read pads nothing
        {"Missing", "fall", 10, Bytes("fall\0\0\0\0\0\0", 10)},
        {"Missing", "fallback-too-long", 6, Bytes("fallb\0", 6)},
        {"Missing", nullptr, 4, Bytes("\0\0\0\0", 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        char buffer[10];
        std::memset(buffer, 'x', sizeof buffer);
        registry.ReadString(c.name, buffer, c.size, c.defaultText);
        EXPECT_EQ(c.expected, Bytes(buffer, c.size));
    }
    wchar_t wide[6];
    std::fill(std::begin(wide), std::end(wide), L'x');
    registry.ReadString(L"Missing", wide, 6, L"dflt");
    EXPECT_EQ(0, std::wmemcmp(L"dflt\0\0", wide, 6));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
}

TEST_F(RegistryValueTest, ExpandableStringsAreExpanded)
{
    Registry& registry = Opened();
    char windir[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableA("windir", windir, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    const std::string expected = std::string(windir) + "\\x";
    scope_.SetString("Key", "Path", "%windir%\\x", REG_EXPAND_SZ);
    char ansi[MAX_PATH];
    EXPECT_TRUE(registry.ReadString("Path", ansi, MAX_PATH));
    EXPECT_EQ(expected, ansi);
    wchar_t wide[MAX_PATH];
    EXPECT_TRUE(registry.ReadString(L"Path", wide, MAX_PATH));
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), wide);
    // Too long for the caller: the expanded text, cut like any other.
    char small[5];
    EXPECT_TRUE(registry.ReadString("Path", small, sizeof small));
    EXPECT_EQ(expected.substr(0, 4), small);
}

TEST_F(RegistryValueTest, DwordOverloadsStoreFourBytes)
{
    Registry& registry = Opened();
    const DWORD dword = 0x80000001;
    const LONG longValue = -2;
    const std::uint32_t unsignedValue = 7;
    EXPECT_TRUE(registry.WriteDword("Int", -1));
    EXPECT_TRUE(registry.WriteDword("Dword", dword));
    EXPECT_TRUE(registry.WriteDword("Long", longValue));
    EXPECT_TRUE(registry.WriteDword("Unsigned", unsignedValue));
    EXPECT_TRUE(registry.WriteDword("True", true));
    EXPECT_TRUE(registry.WriteDword(L"False", false));
    EXPECT_TRUE(registry.WriteDword(L"Five", 5));
    const std::pair<const char*, DWORD> stored[] = {
        {"Int", 0xFFFFFFFF}, {"Dword", 0x80000001}, {"Long", 0xFFFFFFFE}, {"Unsigned", 7},
        {"True", 1},         {"False", 0},          {"Five", 5},
    };
    for (const auto& [name, value] : stored) {
        SCOPED_TRACE(name);
        EXPECT_EQ((Raw{REG_DWORD, DwordBytes(value)}), scope_.Value("Key", name));
    }

    std::int32_t asInt = 0;
    std::uint32_t asUnsigned = 0;
    DWORD asDword = 0;
    LONG asLong = 0;
    bool asBool = false;
    EXPECT_TRUE(registry.ReadDword("Int", asInt));
    EXPECT_EQ(-1, asInt);
    EXPECT_TRUE(registry.ReadDword(L"Dword", asUnsigned));
    EXPECT_EQ(0x80000001u, asUnsigned);
    EXPECT_TRUE(registry.ReadDword("Dword", asDword));
    EXPECT_EQ(0x80000001ul, asDword);
    EXPECT_TRUE(registry.ReadDword(L"Long", asLong));
    EXPECT_EQ(-2, asLong);
    EXPECT_TRUE(registry.ReadDword("Five", asBool));
    EXPECT_TRUE(asBool);
    EXPECT_TRUE(registry.ReadDword(L"False", asBool));
    EXPECT_FALSE(asBool);
}

TEST_F(RegistryValueTest, ReadDwordWithADefaultStoresItWhenTheReadFails)
{
    Registry& registry = Opened();
    scope_.SetDword("Key", "Set", 3);
    scope_.SetString("Key", "Text", "3");
    std::int32_t value = 0;
    EXPECT_TRUE(registry.ReadDword("Set", value, 9));
    EXPECT_EQ(3, value);
    EXPECT_FALSE(registry.ReadDword("Missing", value, 9));
    EXPECT_EQ(9, value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
    DWORD dword = 0;
    EXPECT_FALSE(registry.ReadDword(L"Text", dword, 11ul));
    EXPECT_EQ(11ul, dword);
    EXPECT_EQ(0, registry.LastError());
    bool flag = false;
    EXPECT_FALSE(registry.ReadDword(L"Missing", flag, true));
    EXPECT_TRUE(flag);
    std::uint32_t unsignedValue = 0;
    EXPECT_FALSE(registry.ReadDword("Missing", unsignedValue, 12u));
    EXPECT_EQ(12u, unsignedValue);
}

TEST_F(RegistryValueTest, QwordsStoreEightBytes)
{
    Registry& registry = Opened();
    const std::uint64_t value = 0x0123456789ABCDEFull;
    EXPECT_TRUE(registry.WriteQword("Q", value));
    EXPECT_TRUE(registry.WriteQword(L"W", 1));
    EXPECT_EQ((Raw{REG_QWORD, Bytes(&value, 8)}), scope_.Value("Key", "Q"));
    std::uint64_t read = 0;
    EXPECT_TRUE(registry.ReadQword(L"Q", read));
    EXPECT_EQ(value, read);
    EXPECT_TRUE(registry.ReadQword("W", read));
    EXPECT_EQ(1u, read);
    EXPECT_FALSE(registry.ReadQword(static_cast<const char*>(nullptr), read));
    EXPECT_EQ(0, registry.LastError());
}

TEST_F(RegistryValueTest, BinaryReadsNeverWritePastTheCallersBuffer)
{
    Registry& registry = Opened();
    std::string sixteen;
    for (int i = 0; i < 16; ++i) {
        sixteen += static_cast<char>(i + 1);
    }
    const std::string large(600, '\x5A');
    EXPECT_TRUE(registry.WriteBinary("Sixteen", sixteen.data(), 16));
    EXPECT_TRUE(registry.WriteBinary(L"Large", large.data(), 600));
    EXPECT_TRUE(registry.WriteBinary("Empty", nullptr, 0));
    EXPECT_EQ((Raw{REG_BINARY, sixteen}), scope_.Value("Key", "Sixteen"));
    EXPECT_EQ((Raw{REG_BINARY, ""}), scope_.Value("Key", "Empty"));

    const struct {
        const char* name;
        DWORD capacity;
        LONG error;  // 0: read
        DWORD size;
        std::string data;
    } cases[] = {
        {"Sixteen", 16, 0, 16, sixteen},
        {"Sixteen", 700, 0, 16, sixteen},
        {"Sixteen", 8, ERROR_MORE_DATA, 16, ""},  // fits the internal buffer, not the caller's
        {"Large", 600, 0, 600, large},
        {"Large", 512, ERROR_MORE_DATA, 600, ""},
        {"Large", 8, ERROR_MORE_DATA, 600, ""},
        {"Empty", 4, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " into " + std::to_string(c.capacity));
        // Room beyond the stated capacity, to see that nothing lands there.
        std::string buffer(c.capacity + 16, '\xEE');
        DWORD size = c.capacity;
        EXPECT_EQ(c.error == 0, registry.ReadBinary(c.name, &buffer[0], size));
        EXPECT_EQ(c.error, registry.LastError());
        EXPECT_EQ(c.size, size);
        EXPECT_EQ(c.data + std::string(buffer.size() - c.data.size(), '\xEE'), buffer);
    }
    DWORD size = 4;
    EXPECT_FALSE(registry.ReadBinary("Sixteen", nullptr, size));
    EXPECT_EQ(0, registry.LastError());
}

TEST_F(RegistryValueTest, MultiStringsHoldEachStringWithItsTerminatorThenOneMore)
{
    Registry& registry = Opened();
    const struct {
        std::vector<std::string> values;
        std::string stored;
        std::vector<std::string> read;
    } cases[] = {
        {{"a", "bc"}, Bytes("a\0bc\0\0", 6), {"a", "bc"}},
        // The empty string ends the list for readers that stop at "\0\0";
        // this reader walks the whole data and skips empty strings.
        {{"a", "", "bc"}, Bytes("a\0\0bc\0\0", 7), {"a", "bc"}},
        {{"a", "bc", ""}, Bytes("a\0bc\0\0\0", 7), {"a", "bc"}},
        {{}, Bytes("\0", 1), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.size());
        EXPECT_TRUE(registry.WriteMultiString("Ansi", c.values));
        EXPECT_EQ((Raw{REG_MULTI_SZ, c.stored}), scope_.Value("Key", "Ansi"));
        DWORD size = 0;
        EXPECT_TRUE(registry.ValueSize("Ansi", size));
        EXPECT_EQ(c.stored.size(), size);
        std::vector<std::string> read = {"kept"};
        EXPECT_TRUE(registry.ReadMultiString("Ansi", read));
        std::vector<std::string> expected = {"kept"};
        expected.insert(expected.end(), c.read.begin(), c.read.end());
        EXPECT_EQ(expected, read);

        std::vector<std::wstring> wideValues;
        std::wstring wideStored;
        for (const auto& value : c.values) {
            wideValues.emplace_back(value.begin(), value.end());
        }
        for (char ch : c.stored) {
            wideStored += static_cast<wchar_t>(ch);
        }
        EXPECT_TRUE(registry.WriteMultiString(L"Wide", wideValues));
        EXPECT_EQ((Raw{REG_MULTI_SZ, Bytes(wideStored.data(), wideStored.size() * 2)}),
                  scope_.WideValue("Key", L"Wide"));
        EXPECT_TRUE(registry.ValueSize(L"Wide", size));
        EXPECT_EQ(c.stored.size() * 2, size);
        std::vector<std::wstring> wideRead;
        EXPECT_TRUE(registry.ReadMultiString(L"Wide", wideRead));
        std::vector<std::wstring> wideExpected;
        for (const auto& value : c.read) {
            wideExpected.emplace_back(value.begin(), value.end());
        }
        EXPECT_EQ(wideExpected, wideRead);
    }
}

TEST_F(RegistryValueTest, LargeMultiStringsGoThroughTheHeapAndLongStringsAreCut)
{
    Registry& registry = Opened();
    const std::vector<std::string> values = {std::string(600, 'a'), "b", std::string(300, 'c')};
    EXPECT_TRUE(registry.WriteMultiString("List", values));
    DWORD size = 0;
    EXPECT_TRUE(registry.ValueSize("List", size));
    EXPECT_EQ(601u + 2u + 301u + 1u, size);
    std::vector<std::string> read;
    EXPECT_TRUE(registry.ReadMultiString("List", read));
    const std::vector<std::string> expected = {std::string(511, 'a'), "b", std::string(300, 'c')};
    EXPECT_EQ(expected, read);
    std::vector<std::wstring> wide;
    EXPECT_TRUE(registry.ReadMultiString(L"List", wide));
    ASSERT_EQ(3u, wide.size());
    EXPECT_EQ(std::wstring(511, L'a'), wide[0]);
    EXPECT_EQ(std::wstring(300, L'c'), wide[2]);
}

TEST_F(RegistryValueTest, DeleteValueRemovesIt)
{
    Registry& registry = Opened();
    scope_.SetDword("Key", "A", 1);
    scope_.SetDword("Key", "B", 2);
    EXPECT_TRUE(registry.DeleteValue("A"));
    EXPECT_TRUE(registry.DeleteValue(L"B"));
    EXPECT_FALSE(scope_.Value("Key", "A").has_value());
    EXPECT_FALSE(scope_.Value("Key", "B").has_value());
    EXPECT_FALSE(registry.DeleteValue("A"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());
}

TEST_F(RegistryValueTest, TheValueNameSetIsTakenAtOpening)
{
    scope_.SetDword("Key", "Existing", 1);
    scope_.SetString("Key", "Text", "t");
    Registry& registry = Opened(true);
    EXPECT_TRUE(registry.HasValueName("Existing"));
    EXPECT_TRUE(registry.HasValueName("EXISTING"));
    EXPECT_TRUE(registry.HasValueName(L"existing"));
    EXPECT_FALSE(registry.HasValueName("Missing"));
    std::int32_t value = 0;
    EXPECT_TRUE(registry.ReadDword("eXiStInG", value));
    EXPECT_EQ(1, value);

    // Not in the set: refused before the registry is asked.
    EXPECT_FALSE(registry.ReadDword("Missing", value));
    EXPECT_EQ(0, registry.LastError());

    // Written through the same object after opening: the set does not know
    // them, so reads that would succeed are refused.
    EXPECT_TRUE(registry.WriteDword("Later", 2));
    EXPECT_TRUE(registry.WriteString(L"LaterS", L"s"));
    EXPECT_TRUE(registry.WriteQword("LaterQ", 3));
    EXPECT_TRUE(registry.WriteBinary("LaterB", "b", 1));
    EXPECT_TRUE(registry.WriteMultiString("LaterM", {"m"}));
    EXPECT_TRUE(scope_.Value("Key", "Later").has_value());
    const Operation reads[] = {
        {"ReadDword", [&](Registry& r) { return r.ReadDword("Later", value); }},
        {"ReadDword W", [&](Registry& r) { return r.ReadDword(L"Later", value); }},
        {"ReadString", [](Registry& r) { char b[8]; return r.ReadString("LaterS", b, 8); }},
        {"ReadString W", [](Registry& r) { wchar_t b[8]; return r.ReadString(L"LaterS", b, 8); }},
        {"ReadQword", [](Registry& r) { std::uint64_t q; return r.ReadQword("LaterQ", q); }},
        {"ReadBinary",
         [](Registry& r) { char b[8]; DWORD s = 8; return r.ReadBinary(L"LaterB", b, s); }},
        {"ReadMultiString",
         [](Registry& r) { std::vector<std::string> v; return r.ReadMultiString("LaterM", v); }},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(read.label);
        EXPECT_FALSE(read.call(registry));
        EXPECT_EQ(0, registry.LastError());
    }
    // Size and enumeration do not consult it.
    DWORD size = 0;
    EXPECT_TRUE(registry.ValueSize("Later", size));
    EXPECT_EQ(4u, size);
    std::vector<std::string> names;
    char name[16];
    for (DWORD index = 0; registry.EnumValueName(index, name, sizeof name); ++index) {
        names.push_back(name);
    }
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "Later"));

    // Deleted through the object: still in the set, so the registry answers.
    EXPECT_TRUE(registry.DeleteValue("Text"));
    char text[8];
    EXPECT_FALSE(registry.ReadString("Text", text, 8));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.LastError());

    registry.LoadValueNames();
    for (const auto& read : reads) {
        SCOPED_TRACE(read.label);
        EXPECT_TRUE(read.call(registry));
    }
    EXPECT_EQ(2, value);
    EXPECT_FALSE(registry.HasValueName("Text"));
}

TEST_F(RegistryValueTest, EveryOpeningThatFillsTheSetRefillsIt)
{
    scope_.SetDword("Key", "First", 1);
    scope_.SetDword("Other", "Second", 2);
    Registry registry(HKEY_CURRENT_USER, (scope_ / "Key").c_str(), true);
    ASSERT_TRUE(registry.Create());  // existing key: fills the set
    EXPECT_TRUE(registry.HasValueName("First"));
    registry.Close();
    ASSERT_TRUE(registry.Open((scope_ / "Other").c_str()));
    EXPECT_FALSE(registry.HasValueName("First"));
    EXPECT_TRUE(registry.HasValueName("Second"));
    registry.Close();
    // Create with a path leaves the set as it was.
    ASSERT_TRUE(registry.Create((scope_ / "Key").c_str()));
    EXPECT_TRUE(registry.HasValueName("Second"));
    EXPECT_FALSE(registry.HasValueName("First"));

    Registry plain(HKEY_CURRENT_USER, (scope_ / "Key").c_str());
    ASSERT_TRUE(plain.Open());
    EXPECT_FALSE(plain.HasValueName("First"));
    std::int32_t value = 0;
    EXPECT_TRUE(plain.ReadDword("First", value));
}

TEST_F(RegistryValueTest, EnumValueGivesNameTypeAndDataWithAZeroByteWhenThereIsRoom)
{
    scope_.SetValue("Key", "Blob", REG_BINARY, "\1\2\3\4", 4);
    Registry& registry = Opened();
    // The buffer always has 8 bytes; the capacity says how many are the caller's.
    const struct {
        DWORD capacity;
        std::string expected;
    } cases[] = {
        {8, Bytes("\1\2\3\4\0\xEE\xEE\xEE", 8)},
        {5, Bytes("\1\2\3\4\0\xEE\xEE\xEE", 8)},
        {4, Bytes("\1\2\3\4\xEE\xEE\xEE\xEE", 8)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        char name[16];
        std::string data(8, '\xEE');
        DWORD type = REG_NONE;
        DWORD size = c.capacity;
        ASSERT_TRUE(registry.EnumValue(0, name, 16, &type, &data[0], size));
        EXPECT_STREQ("Blob", name);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        EXPECT_EQ(4u, size);
        EXPECT_EQ(c.expected, data);
    }
    wchar_t wideName[16];
    DWORD size = 0;
    DWORD type = REG_NONE;
    ASSERT_TRUE(registry.EnumValue(0, wideName, 16, &type, nullptr, size));
    EXPECT_STREQ(L"Blob", wideName);
    EXPECT_EQ(4u, size);
    char data[2];
    size = sizeof data;
    EXPECT_FALSE(registry.EnumValue(0, wideName, 16, &type, data, size));
    EXPECT_EQ(ERROR_MORE_DATA, registry.LastError());
    EXPECT_FALSE(registry.EnumValue(1, wideName, 16, &type, nullptr, size));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, registry.LastError());
}

TEST_F(RegistryValueTest, EnumValueNameWalksTheNames)
{
    scope_.SetDword("Key", "Alpha", 1);
    scope_.SetDword("Key", "Beta", 2);
    Registry& registry = Opened(true);
    std::vector<std::string> names;
    char name[16];
    for (DWORD index = 0; registry.EnumValueName(index, name, sizeof name); ++index) {
        names.push_back(name);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, registry.LastError());
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Beta"}), names);
    wchar_t wide[16];
    EXPECT_TRUE(registry.EnumValueName(1, wide, 16));
    EXPECT_STREQ(L"Beta", wide);
    EXPECT_FALSE(registry.EnumValueName(0, name, 3));
    EXPECT_EQ(ERROR_MORE_DATA, registry.LastError());
}

}  // namespace
