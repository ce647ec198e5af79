// The names every program of the system shares, in one place: the service's names, its pipes,
// the mapping and the lock and events of the log file, the registry key of its settings, its
// diagnostic log, and the forwarder's service and key.
// Clients of other makers know them too: they never change.
#pragma once

namespace ZintarUtil {

inline constexpr char kServiceName[] = "ZintarServer";
inline constexpr char kServiceDisplayName[] = "Tervan Log Server";
// The service's diagnostic log, in its working directory; the clients' hints point to it.
inline constexpr char kServiceLogName[] = "ZintarServiceLog.txt";

// Requests go to the first pipe, replies come from the second (its name plus "Reply").
inline constexpr char kRequestPipeName[] = "\\\\.\\pipe\\ZintarServerPipe";
inline constexpr char kReplyPipeName[] = "\\\\.\\pipe\\ZintarServerPipeReply";

// The names the service writes into the log file's `LockNames` and opens its shared objects under.
inline constexpr char kFileMapName[] = "Global\\ZintarServiceFileMap";
inline constexpr char kHeaderMutexName[] = "Global\\ZintarServiceFileHeaderMutex";
inline constexpr char kReadWaitEventName[] = "Global\\ZintarServiceReadWaitEvent";
inline constexpr char kWriteWaitEventName[] = "Global\\ZintarServiceWriteWaitEvent";

// Under HKEY_LOCAL_MACHINE.
inline constexpr char kSettingsKeyPath[] = "SOFTWARE\\Morventa TORVI\\Tervan Log Server";
inline constexpr char kFiltersKeyPath[] = "SOFTWARE\\Morventa TORVI\\Tervan Log Server\\Filters";

// The forwarder: its service, and its settings beside the server's.
inline constexpr char kForwardServiceName[] = "ZintarForward";
inline constexpr char kForwardServiceDisplayName[] = "Tervan Log Forwarder";
inline constexpr char kForwardKeyPath[] = "SOFTWARE\\Morventa TORVI\\Tervan Log Server\\Forward";
inline constexpr char kForwardServiceAccount[] = "NT AUTHORITY\\LocalService";

}  // namespace ZintarUtil
