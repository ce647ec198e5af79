// Owners of a file mapping and of a view of it, so that neither outlives its user nor leaks on a
// failure path. Each takes over what the system call returned (a UniqueResource underneath); a
// null result leaves the owner empty and calls nothing, so GetLastError() still tells why.
#pragma once

#include <windows.h>

#include <cstdint>

#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

class FileMapping {
public:
    FileMapping() = default;
    explicit FileMapping(HANDLE mapping) : mapping(mapping) {}

    HANDLE Get() const { return mapping.Get(); }
    explicit operator bool() const { return mapping.IsValid(); }
    // Closes the handle; false when CloseHandle failed, with GetLastError() telling why (the owner
    // is empty either way).
    bool Close();

private:
    UniqueHandle mapping;
};

class MappedView {
public:
    MappedView() = default;
    explicit MappedView(void* address) : view(address) {}

    unsigned char* Data() const { return static_cast<unsigned char*>(view.Get()); }
    explicit operator bool() const { return view.IsValid(); }
    // The bytes the system mapped, a whole number of pages; a section made longer by another
    // process is not seen here.
    std::uint64_t RegionLength() const;
    // Unmaps the view; false when UnmapViewOfFile failed, with GetLastError() telling why (the
    // owner is empty either way).
    bool Close();

private:
    UniqueView view;
};

}  // namespace ZintarUtil
