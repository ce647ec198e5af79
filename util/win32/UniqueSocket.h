// Owners of Winsock's handles (see UniqueResource.h). Winsock's header must come before
// windows.h, so they stand apart from the others; a program that uses them links ws2_32.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

struct SocketTraits {
    using Type = SOCKET;
    static Type Empty() noexcept { return INVALID_SOCKET; }
    static bool IsEmpty(Type value) noexcept { return value == INVALID_SOCKET; }
    static bool Close(Type socket) noexcept { return closesocket(socket) == 0; }
};
using UniqueSocket = UniqueResource<SocketTraits>;

// The list of addresses getaddrinfo found.
struct AddressListTraits : NullIsEmpty<addrinfo*> {
    static bool Close(addrinfo* list) noexcept
    {
        freeaddrinfo(list);
        return true;
    }
};
using UniqueAddressList = UniqueResource<AddressListTraits>;

}  // namespace ZintarUtil
