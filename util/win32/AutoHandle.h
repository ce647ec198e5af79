// One owned kernel handle. The object always holds a duplicate that it made itself, never the raw
// value it was handed; the empty value is INVALID_HANDLE_VALUE, and a null handle is never kept.
// It copies where UniqueResource moves: its duplicate sits in a UniqueFile, which closes it.
#pragma once

#include <windows.h>

#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

class AutoHandle {
public:
    AutoHandle() = default;
    // Takes over `rawHandle`: duplicates it and closes the original. A null or invalid handle
    // leaves the object empty and calls nothing, so GetLastError() still tells why it is missing.
    explicit AutoHandle(const HANDLE& rawHandle);
    // Its own duplicate of the other's handle; both then refer to the same kernel object.
    AutoHandle(const AutoHandle& other);
    AutoHandle& operator=(const AutoHandle&) = delete;
    // Takes over `rawHandle` unless it is the handle already held.
    AutoHandle& operator=(const HANDLE& rawHandle);
    ~AutoHandle();

    void Take(const HANDLE& rawHandle);
    void Close();

    HANDLE Get() const { return handle.Get(); }
    bool IsValid() const { return handle.IsValid(); }
    bool IsInvalid() const { return !handle.IsValid(); }

private:
    UniqueFile handle;
};

}  // namespace ZintarUtil
