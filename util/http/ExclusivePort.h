// A web server's port is its own: no other program may bind it beside the server and take its
// requests. win32/ExclusivePortWin32.cpp and posix/ExclusivePortPosix.cpp say how each system
// is asked for that.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace ZintarHttp {

// Called on an open acceptor before it binds; sets `error` when the system refuses.
void ClaimPortExclusively(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& error);

}  // namespace ZintarHttp
