#include <winsock2.h>

#include "util/http/ExclusivePort.h"

namespace ZintarHttp {

// Without SO_EXCLUSIVEADDRUSE a socket that sets SO_REUSEADDR may bind a port already in use on
// Windows, and the requests go to either program.
void ClaimPortExclusively(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& error)
{
    acceptor.set_option(boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true), error);
}

}  // namespace ZintarHttp
