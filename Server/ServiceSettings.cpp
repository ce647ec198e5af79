#include "ServiceSettings.h"

namespace ZintarServer {

void AddStoredFilter(ServiceSettings& settings, const std::string& value)
{
    if (value.empty())
        return;
    std::vector<std::string>& list = value[0] == 'i' ? settings.includeFilters : settings.excludeFilters;
    list.push_back(value.substr(1));
}

}  // namespace ZintarServer
