#include "common/environment/os_name.h"

#include <cwchar>

namespace {

constexpr BYTE kWorkstation = VER_NT_WORKSTATION;          // 1
constexpr BYTE kDomainController = VER_NT_DOMAIN_CONTROLLER;  // 2
constexpr BYTE kServer = VER_NT_SERVER;                    // 3
constexpr WORD kSuiteEnterprise = 0x2;
constexpr WORD kSuiteBackOffice = 0x4;
constexpr WORD kSuiteTerminal = 0x10;
constexpr WORD kSuiteDataCenter = 0x80;
constexpr WORD kSuitePersonal = 0x200;

#if defined(_WIN64)
constexpr const wchar_t* kArchitecture = L" x64";
#else
constexpr const wchar_t* kArchitecture = L" x86";
#endif

// The smallest of 1-9 whose digit occurs in the text, else 0.
int ServicePackDigit(const std::wstring& text)
{
    for (wchar_t digit = L'1'; digit <= L'9'; ++digit) {
        if (text.find(digit) != std::wstring::npos) {
            return digit - L'0';
        }
    }
    return 0;
}

std::wstring Trimmed(const std::wstring& text)
{
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return std::wstring();
    }
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

std::wstring Windows9xName(const OsVersionFacts& facts)
{
    std::wstring name = L"Unknown";
    switch (facts.minor) {
    case 0: name = L"Windows 95"; break;
    case 10: name = L"Windows 98"; break;
    case 90: name = L"Windows ME"; break;
    default: break;
    }
    // The CSD text of these carries a release letter, often after a blank.
    const std::wstring servicePack = Trimmed(facts.servicePack);
    if (!servicePack.empty()) {
        name += L' ';
        name += servicePack;
    }
    return name;
}

// Versions after 5.x, by product type and then by build.
const wchar_t* LaterVersionName(const OsVersionFacts& facts)
{
    const bool server = facts.extendedRead &&
                        (facts.productType == kServer || facts.productType == kDomainController);
    struct Entry {
        DWORD major;
        DWORD minor;
        DWORD fromBuild;
        const wchar_t* workstation;
        const wchar_t* server;
    };
    // Later builds of a version first.
    static const Entry kEntries[] = {
        {6, 0, 0, L"Windows Vista", L"Windows Server 2008"},
        {6, 1, 0, L"Windows 7", L"Windows Server 2008 R2"},
        {6, 2, 0, L"Windows 8", L"Windows Server 2012"},
        {6, 3, 0, L"Windows 8.1", L"Windows Server 2012 R2"},
        {10, 0, 22000, L"Windows 11", nullptr},
        {10, 0, 20348, nullptr, L"Windows Server 2022"},
        {10, 0, 17763, nullptr, L"Windows Server 2019"},
        {10, 0, 0, L"Windows 10", L"Windows Server 2016"},
    };
    for (const Entry& entry : kEntries) {
        const wchar_t* name = server ? entry.server : entry.workstation;
        if (entry.major == facts.major && entry.minor == facts.minor &&
            facts.build >= entry.fromBuild && name != nullptr) {
            return name;
        }
    }
    return nullptr;
}

std::wstring WindowsNtName(const OsVersionFacts& facts)
{
    const int servicePackDigit = ServicePackDigit(facts.servicePack);
    if (facts.major > 5) {
        const wchar_t* later = LaterVersionName(facts);
        std::wstring name = later != nullptr ? later : L"Unknown";
        if (servicePackDigit != 0) {
            name += L' ';
            name += facts.servicePack;
        }
        return name;
    }

    std::wstring name = L"Unknown";
    if (facts.major == 4) {
        switch (facts.minor) {
        case 0: name = L"Windows NT 4.0"; break;
        case 10: name = L"Windows 98"; break;
        case 90: name = L"Windows ME"; break;
        default: break;
        }
    } else if (facts.major == 5) {
        switch (facts.minor) {
        case 0: name = L"Microsoft\u00AE Windows\u00AE 2000"; break;
        case 1: name = L"Windows XP"; break;
        case 2: name = L"Microsoft\u00AE Windows\u00AE 2003"; break;
        default: break;
        }
    }

    const bool extended = facts.major >= 5 || servicePackDigit >= 6;
    if (extended && facts.extendedRead) {
        if (facts.productType == kWorkstation) {
            if (facts.major == 5 && facts.minor == 1) {
                name += (facts.suiteMask & kSuitePersonal) != 0 ? L" Home Edition" : L" Windows XP";
            } else if (facts.major == 5 && facts.minor == 0) {
                name += L" Professional";
            } else if (facts.major == 4) {
                name += L" Workstation";
            }
        } else if (facts.productType == kServer || facts.productType == kDomainController) {
            if (facts.major == 5) {
                if ((facts.suiteMask & kSuiteEnterprise) != 0) {
                    name += L" Advanced";
                } else if ((facts.suiteMask & kSuiteDataCenter) != 0) {
                    name += L" DataCenter";
                } else if ((facts.suiteMask & kSuiteTerminal) != 0) {
                    name += L" Terminal";
                } else if ((facts.suiteMask & kSuiteBackOffice) != 0) {
                    name += L" BackOffice";
                }
                name += L"Server";
            } else if (facts.major == 4 && facts.minor == 0) {
                name += L" Server";
            }
            if (facts.productType == kDomainController) {
                name += L"Domain Controller";
            }
        }
    }
    if (servicePackDigit != 0) {
        name += L' ';
        name += facts.servicePack;
    }
    return name;
}

// RtlGetVersion reports the true version, where GetVersionExW answers what
// the executable's manifest declares support for.
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);

RtlGetVersionFunction FindRtlGetVersion() noexcept
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");  // always loaded; not to be freed
    if (ntdll == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
}

template <typename Info>
bool ReadVersion(RtlGetVersionFunction rtlGetVersion, Info& info) noexcept
{
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (rtlGetVersion != nullptr) {
        return rtlGetVersion(reinterpret_cast<OSVERSIONINFOW*>(&info)) == 0;
    }
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)  // deprecated, but the only call older systems have
#endif
    return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)) != FALSE;
}

}  // namespace

std::wstring OsNameFromFacts(const OsVersionFacts& facts)
{
    if (!facts.basicRead) {
        return std::wstring();
    }
    std::wstring name;
    if (facts.platformId == VER_PLATFORM_WIN32_NT) {
        name = WindowsNtName(facts);
    } else if (facts.platformId == VER_PLATFORM_WIN32_WINDOWS) {
        name = Windows9xName(facts);
    } else {
        name = L"Unknown";
    }
    name += kArchitecture;
    return name;
}

OsVersionFacts CurrentOsVersionFacts() noexcept
{
    OsVersionFacts facts;
    const RtlGetVersionFunction rtlGetVersion = FindRtlGetVersion();
    OSVERSIONINFOW basic;
    if (!ReadVersion(rtlGetVersion, basic)) {
        return facts;
    }
    facts.basicRead = true;
    facts.platformId = basic.dwPlatformId;
    facts.major = basic.dwMajorVersion;
    facts.minor = basic.dwMinorVersion;
    facts.build = basic.dwBuildNumber;
    try {
        facts.servicePack.assign(basic.szCSDVersion,
                                 wcsnlen(basic.szCSDVersion, sizeof basic.szCSDVersion / sizeof(wchar_t)));
    } catch (...) {
        // Out of memory: the name goes without its service-pack text.
    }
    OSVERSIONINFOEXW extended;
    if (ReadVersion(rtlGetVersion, extended)) {
        facts.extendedRead = true;
        facts.productType = extended.wProductType;
        facts.suiteMask = extended.wSuiteMask;
    }
    return facts;
}

std::wstring GetOSName()
{
    return OsNameFromFacts(CurrentOsVersionFacts());
}
