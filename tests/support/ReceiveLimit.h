// A receive timeout on a test's socket, so that a silent peer (a browser that hangs) ends its read.
// On Windows the read then fails; on Linux Asio's blocking read waits again after it, and the
// test's own ctest TIMEOUT is what bounds the wait.
#pragma once

#include <chrono>

#include <boost/asio/ip/tcp.hpp>

namespace ZintarTest {

void SetReceiveLimit(boost::asio::ip::tcp::socket::native_handle_type socket, std::chrono::milliseconds limit);

}  // namespace ZintarTest
