#pragma once

// Drives the provider as WMI does, through the WMI-side host: the class
// object comes from the shipped class definition, every collaborator is a
// host object whose references are counted.

#include <gtest/gtest.h>

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <array>
#include <memory>
#include <string>

#include "common/util/unique_resource.h"
#include "log_recorder.h"
#include "tools/host/provider_module.h"
#include "tools/wmi_host/host.h"

// WMI's result codes are enumerators of an unsigned type; tables hold them
// as the HRESULTs the provider returns.
constexpr HRESULT Hr(unsigned long code) { return static_cast<HRESULT>(code); }

// The five counters of an instance, in counter order.
using Counters = std::array<DWORD, 5>;
Counters ReadCounters(IWbemObjectAccess* instance);

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A provider made by the class factory and initialised on root\cimv2.
    com_ptr<IWbemHiPerfProvider> NewProvider();
    com_ptr<IWbemRefresher> NewRefresher(IWbemHiPerfProvider* provider);
    // An instance of the class with key `key` (null: no key written).
    com_ptr<IWbemObjectAccess> NewInstance(const wchar_t* key);

    IWbemServices* Services() const { return host_->Services(); }

    std::unique_ptr<wmihost::Host> host_;
    long liveAtStart_ = 0;
    LogRecorder recorder_;
};
