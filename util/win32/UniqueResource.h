// The one owner of every handle the programs hold: a kernel object, a file, a view of a mapping, a
// registry key, a service-manager handle, a socket, a certificate or an SChannel context. The owner
// is move-only and closes what it holds when it goes. A Traits policy tells the kind of handle:
//
//     struct Traits {
//         using Type = ...;                           // the handle as the system hands it out
//         static Type Empty() noexcept;               // the value an owner of nothing holds
//         static bool IsEmpty(const Type&) noexcept;
//         static bool Close(const Type&) noexcept;    // true when the system took it back
//     };
//
// A close from Reset, a move or the destructor never throws and leaves the thread's last error as
// it found it, so that a failure path can still report why it failed after its handles are gone.
// Only Close() reports a failed close, for the owners whose contract says so.
//
//     UniqueHandle thread(CreateThread(...));
//     if (!thread)
//         throw ExceptionWindows("...");          // the error is CreateThread's
//     UniqueHandle copy;
//     DuplicateHandle(..., copy.Put(), ...);     // written straight into its owner
//
// An owner is used by one thread at a time, like the handle it holds.
#pragma once

#include <windows.h>

#include <utility>

namespace ZintarUtil {

template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    // Takes over `value`, which may be the result of a failed call: an empty value calls nothing.
    explicit UniqueResource(const Type& value) noexcept : value(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { Reset(); }

    const Type& Get() const noexcept { return value; }
    bool IsValid() const noexcept { return !Traits::IsEmpty(value); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Closes what is held, ignoring a failure, and holds `replacement` (which must not be the
    // value held: that would be closed under it).
    void Reset(const Type& replacement = Traits::Empty()) noexcept
    {
        const Type old = std::exchange(value, replacement);
        if (Traits::IsEmpty(old))
            return;
        const DWORD lastError = GetLastError();
        Traits::Close(old);
        SetLastError(lastError);
    }

    // Hands the value to the caller, who closes it from now on; the owner is empty.
    Type Release() noexcept { return std::exchange(value, Traits::Empty()); }

    // Closes what is held and gives the place for a call that writes a new handle out.
    Type* Put() noexcept
    {
        Reset();
        return &value;
    }

    // The place of the value held, for a call that takes it in and may write it anew (SChannel's
    // contexts); the owner still owns whatever is written there.
    Type* AddressOf() noexcept { return &value; }

    // Closes what is held now. True when nothing was held or the close succeeded (the owner is then
    // empty); false when the close failed: the value stays held and GetLastError() tells why.
    bool Close() noexcept
    {
        if (Traits::IsEmpty(value))
            return true;
        if (!Traits::Close(value))
            return false;
        value = Traits::Empty();
        return true;
    }

private:
    Type value = Traits::Empty();
};

// The Empty and IsEmpty of a handle that is null when there is none.
template <class Handle>
struct NullIsEmpty {
    using Type = Handle;
    static Type Empty() noexcept { return nullptr; }
    static bool IsEmpty(Type value) noexcept { return value == nullptr; }
};

// Events, mutexes, threads, tokens, mappings: the kernel's objects that CreateX calls hand out,
// null on failure.
struct KernelHandleTraits : NullIsEmpty<HANDLE> {
    static bool Close(HANDLE handle) noexcept { return CloseHandle(handle) != FALSE; }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// Files, pipes and devices from CreateFile and CreateNamedPipe, INVALID_HANDLE_VALUE on failure;
// null is no handle either and is never closed.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsEmpty(Type value) noexcept { return value == INVALID_HANDLE_VALUE || value == nullptr; }
    static bool Close(Type handle) noexcept { return CloseHandle(handle) != FALSE; }
};
using UniqueFile = UniqueResource<FileHandleTraits>;

// A view from MapViewOfFile: its base address.
struct MappedViewTraits : NullIsEmpty<void*> {
    static bool Close(void* address) noexcept { return UnmapViewOfFile(address) != FALSE; }
};
using UniqueView = UniqueResource<MappedViewTraits>;

struct RegistryKeyTraits : NullIsEmpty<HKEY> {
    static bool Close(HKEY key) noexcept { return RegCloseKey(key) == ERROR_SUCCESS; }
};
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;

// Memory that a system call allocated for its caller to LocalFree (security descriptors,
// FormatMessage's text, CryptoAPI's decoded names).
struct LocalMemoryTraits : NullIsEmpty<void*> {
    static bool Close(void* memory) noexcept { return LocalFree(memory) == nullptr; }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

}  // namespace ZintarUtil
