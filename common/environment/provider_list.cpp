#include "common/environment/provider_list.h"

std::vector<std::wstring> provider_list(LogCallback /*callback*/)
{
    return {};
}
