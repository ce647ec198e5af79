// Loading the settings from the registry at every start and saving them at every stop.
#pragma once

#include "Server/ServiceSettings.h"
#include "util/win32/Mutex.h"
#include "util/win32/RegistryKey.h"

namespace ZintarServer {

using ZintarUtil::RegistryKey;

// Fills `settings` from the registry under HKEY_LOCAL_MACHINE, writing every missing value with
// its default, with `settingsMutex` held throughout. Throws ExceptionWindows "RegCreateKeyEx()
// failed" or "ReadData() failed"; what was read before the failure stays.
void LoadSettings(ServiceSettings& settings, ZintarUtil::Mutex& settingsMutex);

// Writes `settings` back, the filters as Filters0, Filters1, ... (include filters first) in a
// Filters key made anew.
void SaveSettings(const ServiceSettings& settings, ZintarUtil::Mutex& settingsMutex);

}  // namespace ZintarServer
