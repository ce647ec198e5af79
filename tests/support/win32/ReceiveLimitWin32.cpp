#include <winsock2.h>

#include "tests/support/ReceiveLimit.h"

namespace ZintarTest {

void SetReceiveLimit(boost::asio::ip::tcp::socket::native_handle_type socket, std::chrono::milliseconds limit)
{
    const DWORD ms = static_cast<DWORD>(limit.count());
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

}  // namespace ZintarTest
