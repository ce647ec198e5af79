#include "util/http/ExclusivePort.h"

namespace ZintarHttp {

// A port that a socket listens on is refused to every other bind here, SO_REUSEADDR or not, as
// long as the listener leaves SO_REUSEPORT unset, which the acceptor does.
void ClaimPortExclusively(boost::asio::ip::tcp::acceptor&, boost::system::error_code&) {}

}  // namespace ZintarHttp
