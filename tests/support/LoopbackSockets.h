// Sockets of a test on 127.0.0.1: closed when their owner goes, so a failed assertion leaves no
// port taken, and read within a bound, so a silent peer fails the test instead of hanging it.
// Asio keeps the bound: a receive timeout set on the socket would not do, as Asio's blocking
// reads wait again after it on Linux.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio.hpp>

namespace ZintarTest {

// Runs what was started on `io` until it has ended or `bound` has passed; what is left then is
// cancelled on `socket`, and its handlers see operation_aborted. False when the bound passed.
template <class Socket>
bool RunWithin(boost::asio::io_context& io, Socket& socket, std::chrono::milliseconds bound)
{
    io.restart();
    io.run_for(bound);
    if (io.stopped())
        return true;
    socket.cancel();
    io.run();
    return false;
}

// A UDP socket on a free port of 127.0.0.1.
class DatagramReceiver {
public:
    explicit DatagramReceiver(std::chrono::milliseconds bound)
        : socket(io, {boost::asio::ip::address_v4::loopback(), 0}), bound(bound)
    {
    }
    std::uint16_t Port() const { return socket.local_endpoint().port(); }

    // The next datagram; nothing when none came within the bound.
    std::optional<std::string> Receive()
    {
        char datagram[2048];
        std::optional<std::string> received;
        socket.async_receive(boost::asio::buffer(datagram), [&](boost::system::error_code error, std::size_t size) {
            if (!error)
                received.emplace(datagram, size);
        });
        RunWithin(io, socket, bound);
        return received;
    }

private:
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
    std::chrono::milliseconds bound;
};

}  // namespace ZintarTest
