// HTTPS for HttpServer: OpenSSL through Boost.Beast's ssl_stream, TLS 1.2 and later, the
// certificate chain and key from PEM files. Built natively where OpenSSL is.
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>

#include "util/http/HttpSession.h"

namespace ZintarHttp {

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <>
struct StreamOps<TlsStream> {
    template <class Done>
    static void Handshake(TlsStream& stream, Done&& done)
    {
        stream.async_handshake(net::ssl::stream_base::server, std::forward<Done>(done));
    }
};

void UseTls(HttpServer::Shared& server, const TlsFiles& files)
{
    auto context = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
    context->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1 |
                         net::ssl::context::single_dh_use);
    beast::error_code error;
    context->use_certificate_chain_file(files.certificate, error);
    if (error)
        throw ZintarUtil::Exceptions::ExceptionBase("Cannot use the certificate " + files.certificate + ": " +
                                                    error.message());
    context->use_private_key_file(files.key, net::ssl::context::pem, error);
    if (error)
        throw ZintarUtil::Exceptions::ExceptionBase("Cannot use the private key " + files.key + ": " + error.message() +
                                                    " (is it the key of the certificate?)");
    server.tlsContext = context;
    HttpServer::Shared* shared = &server;
    net::ssl::context* raw = context.get();
    server.startSession = [shared, raw](tcp::socket socket) {
        std::make_shared<Session<TlsStream>>(TlsStream(beast::tcp_stream(std::move(socket)), *raw), shared)->Start();
    };
}

}  // namespace ZintarHttp
