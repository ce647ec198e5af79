// The rights on each object the service shares with its clients, in one place: what a client
// opens it with, and no more; and what the service grants. With StrictClientAccess set every
// account gets only the client's rights, so a client of another maker that asks for more is
// refused: CreateEvent (EVENT_ALL_ACCESS) on a lock's name, say, or GENERIC_WRITE on a pipe.
#pragma once

#include <windows.h>

#include <cstdint>

#include "util/win32/SecurityDescriptors.h"

namespace ZintarUtil::ClientAccess {

// Readers count themselves in the file's header, so they map it for writing too.
inline constexpr std::uint32_t kMapping = FILE_MAP_READ | FILE_MAP_WRITE;
// The header lock, an auto-reset event: waited for to take it, set to give it back.
inline constexpr std::uint32_t kHeaderLock = SYNCHRONIZE | EVENT_MODIFY_STATE;
// A reader waits for the read-wait event and never changes it; it resets and sets the write-wait
// event and never waits for it.
inline constexpr std::uint32_t kReadWaitEvent = SYNCHRONIZE;
inline constexpr std::uint32_t kWriteWaitEvent = EVENT_MODIFY_STATE;
// A client writes its request into the one pipe and reads the reply from the other, which it
// switches to message mode first.
inline constexpr std::uint32_t kRequestPipe = FILE_WRITE_DATA | SYNCHRONIZE;
inline constexpr std::uint32_t kReplyPipe = FILE_READ_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// What every account may do with the pipes when access is strict: read and write them, but not
// create an instance under their names. FILE_CREATE_PIPE_INSTANCE is FILE_APPEND_DATA, which
// FILE_GENERIC_WRITE (and GENERIC_WRITE) contains, so the mask is built without it.
inline constexpr std::uint32_t kPipes = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
static_assert(kPipes == 0x12019B);
// CreateFile adds SYNCHRONIZE and FILE_READ_ATTRIBUTES to what a client asks for.
static_assert(((kRequestPipe | kReplyPipe | FILE_READ_ATTRIBUTES) & ~kPipes) == 0);

// What the service grants. While access is not strict, every account gets what it always got:
// all rights on the mapping and the events, reading and writing on the pipes (a new instance
// among them). When it is, every account gets a client's rights only, and LocalSystem and the
// Administrators all.
inline constexpr SharedObjectRights kMappingRights{SECTION_ALL_ACCESS, kMapping, SECTION_ALL_ACCESS};
inline constexpr SharedObjectRights kHeaderLockRights{EVENT_ALL_ACCESS, kHeaderLock, EVENT_ALL_ACCESS};
inline constexpr SharedObjectRights kReadWaitEventRights{EVENT_ALL_ACCESS, kReadWaitEvent, EVENT_ALL_ACCESS};
inline constexpr SharedObjectRights kWriteWaitEventRights{EVENT_ALL_ACCESS, kWriteWaitEvent, EVENT_ALL_ACCESS};
inline constexpr SharedObjectRights kPipeRights{FILE_GENERIC_READ | FILE_GENERIC_WRITE, kPipes, FILE_ALL_ACCESS};

}  // namespace ZintarUtil::ClientAccess
