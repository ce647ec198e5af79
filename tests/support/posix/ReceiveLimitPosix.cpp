#include <sys/socket.h>

#include "tests/support/ReceiveLimit.h"

namespace ZintarTest {

void SetReceiveLimit(boost::asio::ip::tcp::socket::native_handle_type socket, std::chrono::milliseconds limit)
{
    const timeval tv{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace ZintarTest
