#include "common/environment/provider_list.h"

#include <windows.h>
#include <objbase.h>
#include <oledb.h>
#include <oledberr.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/environment/com_initializer.h"
#include "common/logger/log_entry_points.h"
#include "common/util/unique_resource.h"

namespace {

// The OLE DB root enumerator, which lists the installed providers.
constexpr CLSID kRootEnumerator = {
    0xC8B522D0, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

constexpr const char* kFunction = "provider_list";
constexpr std::int32_t kLevel = 4;

LogContext g_enumerationContext;

void Report(LogCallback callback, std::int32_t line, const wchar_t* format, HRESULT result) noexcept
{
    if (!IsLogCallbackPresent(callback)) {
        return;
    }
    wchar_t message[kLogMessageUnits] = {};
    FormatChecked(message, kLogMessageUnits - 1, format, static_cast<int>(result));
    if (IsLogCallbackPresent(callback)) {
        callback(kLevel, 0, 0, 0, message, kFunction, line, &g_enumerationContext);
    }
}

// The enumerator's standard columns, in their ordinal order.
constexpr DBLENGTH kTextUnits = 129;
struct SourceRow {
    wchar_t name[kTextUnits];
    wchar_t parseName[kTextUnits];
    wchar_t description[kTextUnits];
    unsigned short type;
    VARIANT_BOOL isParent;
    DBSTATUS status[5];
};

DBBINDING Binding(DBORDINAL ordinal, DBBYTEOFFSET value, DBLENGTH size, DBTYPE type) noexcept
{
    DBBINDING binding;
    std::memset(&binding, 0, sizeof binding);
    binding.iOrdinal = ordinal;
    binding.obValue = value;
    binding.obStatus = offsetof(SourceRow, status) + (ordinal - 1) * sizeof(DBSTATUS);
    binding.dwPart = DBPART_VALUE | DBPART_STATUS;
    binding.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
    binding.eParamIO = DBPARAMIO_NOTPARAM;
    binding.cbMaxLen = size;
    binding.wType = type;
    return binding;
}

// An accessor handle and the interface that frees it.
class ScopedAccessor {
public:
    explicit ScopedAccessor(IAccessor* accessor) noexcept : accessor_(accessor) {}
    ~ScopedAccessor()
    {
        if (handle_ != DB_NULL_HACCESSOR) {
            accessor_->ReleaseAccessor(handle_, nullptr);
        }
    }
    ScopedAccessor(const ScopedAccessor&) = delete;
    ScopedAccessor& operator=(const ScopedAccessor&) = delete;

    HACCESSOR* put() noexcept { return &handle_; }
    HACCESSOR get() const noexcept { return handle_; }

private:
    IAccessor* accessor_;
    HACCESSOR handle_ = DB_NULL_HACCESSOR;
};

// One batch of row handles: the array the rowset allocated, and the rows.
class RowBatch {
public:
    explicit RowBatch(IRowset* rowset) noexcept : rowset_(rowset) {}
    ~RowBatch()
    {
        if (count_ > 0) {
            rowset_->ReleaseRows(count_, rows_, nullptr, nullptr, nullptr);
        }
        ::CoTaskMemFree(rows_);
    }
    RowBatch(const RowBatch&) = delete;
    RowBatch& operator=(const RowBatch&) = delete;

    HRESULT Next(DBROWCOUNT rows) noexcept
    {
        return rowset_->GetNextRows(DB_NULL_HCHAPTER, 0, rows, &count_, &rows_);
    }
    DBCOUNTITEM Count() const noexcept { return count_; }
    HROW operator[](DBCOUNTITEM index) const noexcept { return rows_[index]; }

private:
    IRowset* rowset_;
    DBCOUNTITEM count_ = 0;
    HROW* rows_ = nullptr;
};

HRESULT ReadProviderNames(std::vector<std::wstring>& names)
{
    com_ptr<ISourcesRowset> sources;
    HRESULT result = ::CoCreateInstance(kRootEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_ISourcesRowset, reinterpret_cast<void**>(sources.put()));
    if (FAILED(result)) {
        return result;
    }
    com_ptr<IRowset> rowset;
    result = sources->GetSourcesRowset(nullptr, IID_IRowset, 0, nullptr,
                                       reinterpret_cast<IUnknown**>(rowset.put()));
    if (FAILED(result)) {
        return result;
    }
    if (!rowset) {
        return E_FAIL;
    }
    com_ptr<IAccessor> accessorOwner;
    result = rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(accessorOwner.put()));
    if (FAILED(result)) {
        return result;
    }

    const DBBINDING bindings[] = {
        Binding(1, offsetof(SourceRow, name), sizeof(SourceRow::name), DBTYPE_WSTR),
        Binding(2, offsetof(SourceRow, parseName), sizeof(SourceRow::parseName), DBTYPE_WSTR),
        Binding(3, offsetof(SourceRow, description), sizeof(SourceRow::description), DBTYPE_WSTR),
        Binding(4, offsetof(SourceRow, type), sizeof(SourceRow::type), DBTYPE_UI2),
        Binding(5, offsetof(SourceRow, isParent), sizeof(SourceRow::isParent), DBTYPE_BOOL),
    };
    ScopedAccessor accessor(accessorOwner.get());
    result = accessorOwner->CreateAccessor(DBACCESSOR_ROWDATA, 5, bindings, sizeof(SourceRow),
                                           accessor.put(), nullptr);
    if (FAILED(result)) {
        return result;
    }

    constexpr DBROWCOUNT kBatchRows = 16;
    for (;;) {
        RowBatch batch(rowset.get());
        result = batch.Next(kBatchRows);
        if (FAILED(result)) {
            return result;
        }
        for (DBCOUNTITEM index = 0; index < batch.Count(); ++index) {
            SourceRow row;
            std::memset(&row, 0, sizeof row);
            const HRESULT read = rowset->GetData(batch[index], accessor.get(), &row);
            if (FAILED(read)) {
                return read;
            }
            row.name[kTextUnits - 1] = L'\0';
            // A null name counts as empty; a long one is kept cut.
            const bool usable =
                row.status[0] == DBSTATUS_S_OK || row.status[0] == DBSTATUS_S_TRUNCATED;
            names.emplace_back(usable ? row.name : L"");
        }
        if (result == DB_S_ENDOFROWSET || batch.Count() == 0) {
            return S_OK;
        }
    }
}

}  // namespace

std::vector<std::wstring> provider_list(LogCallback callback)
{
    try {
        // A probe only: an initialisation that succeeds is undone at once.
        ComInitializer probe(COINIT_MULTITHREADED, false, true);
    } catch (const init_exception& failure) {
        Report(callback, __LINE__,
               L"An error occurred during enumerating OLE DB providers - failure during COM "
               L"initialization. [%d]",
               failure.Result());
    } catch (...) {
        // No memory for the exception's message: the enumeration still runs.
    }

    std::vector<std::wstring> names;
    HRESULT result = E_FAIL;
    try {
        result = ReadProviderNames(names);
    } catch (...) {
        // Only the list itself can throw (out of memory).
        result = E_OUTOFMEMORY;
    }
    if (FAILED(result)) {
        names.clear();
        if (result == CO_E_NOTINITIALIZED) {
            Report(callback, __LINE__, L"CoInitialize has not been called. [%d]", result);
        } else {
            Report(callback, __LINE__, L"An error occurred during enumerating OLE DB providers. [%d]",
                   result);
        }
    }
    return names;
}
