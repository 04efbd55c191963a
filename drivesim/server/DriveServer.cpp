#include "DriveServer.h"

#include "drivesim/AsioStream.h"
#include "drivesim/Protocol.h"
#include "drivesim/WireCodec.h"

#include <array>
#include <mutex>
#include <optional>
#include <utility>

namespace drivesim {

namespace {

using asio::ip::tcp;

class StreamServer final : public DriveServer {
public:
    StreamServer(Drive& drive, wire::StreamAddress address) : m_drive(drive), m_address(std::move(address)) {}

    bool Open(std::string& error) {
        if (m_address.kind == wire::StreamAddress::Kind::Serial) {
            m_serial = stream::OpenSerial(m_io, m_address, error);
            return m_serial != nullptr;
        }
        asio::error_code ec;
        const auto ip = asio::ip::make_address(m_address.host, ec);
        tcp::endpoint endpoint;
        if (ec) {
            // A host name: listen on what it resolves to first.
            tcp::resolver resolver(m_io);
            const auto results = resolver.resolve(m_address.host, std::to_string(m_address.port), ec);
            if (ec || results.empty()) {
                error = "cannot resolve " + m_address.host + ": " + ec.message();
                return false;
            }
            endpoint = *results.begin();
        } else {
            endpoint = tcp::endpoint(ip, m_address.port);
        }
        m_acceptor.emplace(m_io);
        m_acceptor->open(endpoint.protocol(), ec);
        if (!ec) m_acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) m_acceptor->bind(endpoint, ec);
        if (!ec) m_acceptor->listen(1, ec);
        if (ec) {
            error = "cannot listen on tcp:" + m_address.host + ":" + std::to_string(m_address.port) + ": " +
                    ec.message();
            return false;
        }
        m_address.port = m_acceptor->local_endpoint().port();
        return true;
    }

    std::string Run() override {
        if (m_serial) {
            m_connection = m_serial.get();
            Read();
        } else {
            Accept();
        }
        m_io.run();
        return m_failure;
    }

    void Stop() override { m_io.stop(); }

    std::string Address() const override {
        if (m_address.kind == wire::StreamAddress::Kind::Serial) return "serial:" + m_address.device;
        const bool v6 = m_address.host.find(':') != std::string::npos;
        return "tcp:" + (v6 ? "[" + m_address.host + "]" : m_address.host) + ":" + std::to_string(m_address.port);
    }

    void SetReplyFilter(ReplyFilter filter) override {
        std::lock_guard lock(m_filter_mutex);
        m_filter = std::move(filter);
    }

private:
    void Accept() {
        m_acceptor->async_accept([this](const asio::error_code& ec, tcp::socket socket) {
            if (ec) {
                if (ec != asio::error::operation_aborted) Accept();
                return;
            }
            asio::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            m_socket = std::make_unique<stream::ByteStreamOf<tcp::socket>>(std::move(socket));
            m_connection = m_socket.get();
            m_reader.Clear();
            Read();
        });
    }

    // The connection ended (peer gone, the drive dropped the link): serve the next one.
    void EndConnection() {
        if (m_connection) m_connection->Close();
        m_connection = nullptr;
        if (m_serial) {
            m_failure = "the serial port closed";
            m_io.stop();
            return;
        }
        m_socket.reset();
        Accept();
    }

    void Read() {
        m_connection->AsyncReadSome(asio::buffer(m_in), [this](const asio::error_code& ec, std::size_t n) {
            if (ec) {
                if (ec != asio::error::operation_aborted) EndConnection();
                return;
            }
            m_reader.Feed(std::span(m_in.data(), n));
            Answer();
        });
    }

    // Answers every complete request buffered, then reads on.
    void Answer() {
        m_out.clear();
        for (;;) {
            wire::FrameReader::Item item = m_reader.Next();
            if (item.event == wire::FrameReader::Event::NeedMore) break;
            if (item.frame.kind != wire::FrameKind::Request) continue;
            Response response;
            if (item.event == wire::FrameReader::Event::Corrupted) {
                // Not executed: the client learns its request was damaged on the way.
                response.error = "the drive received a corrupted request (" + item.problem + ")";
            } else if (auto request = wire::DecodeRequest(item.frame.payload); !request.ok()) {
                response.error = "the drive refused the request: " + request.error;
            } else {
                response = Dispatch(m_drive, *request.value);
                if (m_drive.LinkDropped()) {
                    // A dropped link answers nothing more: over TCP the client sees the
                    // connection close, over a serial line it hears nothing.
                    if (m_serial) {
                        m_out.clear();
                        m_reader.Clear();
                        Read();
                    } else {
                        EndConnection();
                    }
                    return;
                }
            }
            auto frame = wire::MakeFrame(wire::FrameKind::Response, item.frame.sequence, wire::EncodeResponse(response));
            bool send = true;
            {
                std::lock_guard lock(m_filter_mutex);
                if (m_filter) send = m_filter(frame);
            }
            if (send) m_out.insert(m_out.end(), frame.begin(), frame.end());
        }
        if (m_out.empty()) {
            Read();
            return;
        }
        m_connection->AsyncWrite(asio::buffer(m_out), [this](const asio::error_code& ec, std::size_t) {
            if (ec) {
                if (ec != asio::error::operation_aborted) EndConnection();
                return;
            }
            Read();
        });
    }

    Drive& m_drive;
    wire::StreamAddress m_address;
    asio::io_context m_io;
    std::optional<tcp::acceptor> m_acceptor;
    std::unique_ptr<stream::ByteStream> m_socket;
    std::unique_ptr<stream::ByteStream> m_serial;
    stream::ByteStream* m_connection = nullptr;
    wire::FrameReader m_reader;
    std::array<std::uint8_t, 64 * 1024> m_in{};
    std::vector<std::uint8_t> m_out;
    std::string m_failure;
    std::mutex m_filter_mutex;
    ReplyFilter m_filter;
};

}  // namespace

std::unique_ptr<DriveServer> DriveServer::Open(const std::string& listen, Drive& drive, std::string& error) {
    auto address = wire::ParseStreamAddress(listen, true);
    if (!address.ok()) {
        error = address.error;
        return nullptr;
    }
    auto server = std::make_unique<StreamServer>(drive, std::move(*address.value));
    if (!server->Open(error)) return nullptr;
    return server;
}

}  // namespace drivesim
