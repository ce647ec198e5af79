// Owners of a file mapping and of a view of it, so that neither outlives its user nor leaks on a
// failure path. Like AutoHandle, each takes over what the system call returned; a null result
// leaves the owner empty and calls nothing, so GetLastError() still tells why.
#pragma once

#include <windows.h>

#include <cstdint>

namespace ZintarUtil {

class FileMapping {
public:
    FileMapping() = default;
    explicit FileMapping(HANDLE mapping) : mapping(mapping) {}
    FileMapping(FileMapping&& other) noexcept;
    FileMapping& operator=(FileMapping&& other) noexcept;
    ~FileMapping() { Close(); }

    HANDLE Get() const { return mapping; }
    explicit operator bool() const { return mapping != nullptr; }
    // Closes the handle; false when CloseHandle failed (the owner is empty either way).
    bool Close();

private:
    HANDLE mapping = nullptr;
};

class MappedView {
public:
    MappedView() = default;
    explicit MappedView(void* address) : address(static_cast<unsigned char*>(address)) {}
    MappedView(MappedView&& other) noexcept;
    MappedView& operator=(MappedView&& other) noexcept;
    ~MappedView() { Close(); }

    unsigned char* Data() const { return address; }
    explicit operator bool() const { return address != nullptr; }
    // The bytes the system mapped, a whole number of pages; a section made longer by another
    // process is not seen here.
    std::uint64_t RegionLength() const;
    // Unmaps the view; false when UnmapViewOfFile failed (the owner is empty either way).
    bool Close();

private:
    unsigned char* address = nullptr;
};

}  // namespace ZintarUtil
