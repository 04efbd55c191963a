// One face for the byte streams a drive link runs on (TCP socket, serial port), so that the
// client and the server are each written once. Header-only: only code that links Asio
// includes it.
#pragma once

#include "drivesim/WireCodec.h"

#include <asio.hpp>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace drivesim::stream {

class ByteStream {
public:
    using Handler = std::function<void(const asio::error_code&, std::size_t)>;
    virtual ~ByteStream() = default;
    virtual void AsyncReadSome(asio::mutable_buffer buffer, Handler handler) = 0;
    // Completes when the whole buffer went out, or on the first error.
    virtual void AsyncWrite(asio::const_buffer buffer, Handler handler) = 0;
    virtual void Cancel() = 0;
    virtual void Close() = 0;
};

template <class Stream>
class ByteStreamOf final : public ByteStream {
public:
    explicit ByteStreamOf(Stream stream) : m_stream(std::move(stream)) {}
    void AsyncReadSome(asio::mutable_buffer buffer, Handler handler) override {
        m_stream.async_read_some(buffer, std::move(handler));
    }
    void AsyncWrite(asio::const_buffer buffer, Handler handler) override {
        asio::async_write(m_stream, buffer, std::move(handler));
    }
    void Cancel() override {
        asio::error_code ignored;
        m_stream.cancel(ignored);
    }
    void Close() override {
        asio::error_code ignored;
        m_stream.close(ignored);
    }
    Stream& Native() { return m_stream; }

private:
    Stream m_stream;
};

// A serial device in raw 8N1 at the address's baud rate.
inline std::unique_ptr<ByteStream> OpenSerial(asio::io_context& io, const wire::StreamAddress& address,
                                              std::string& error) {
    asio::serial_port port(io);
    asio::error_code ec;
    port.open(address.device, ec);
    if (!ec) port.set_option(asio::serial_port::baud_rate(address.baud), ec);
    if (!ec) port.set_option(asio::serial_port::character_size(8), ec);
    if (!ec) port.set_option(asio::serial_port::parity(asio::serial_port::parity::none), ec);
    if (!ec) port.set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one), ec);
    if (!ec) port.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none), ec);
    if (ec) {
        error = "cannot open serial port " + address.device + ": " + ec.message();
        return nullptr;
    }
    return std::make_unique<ByteStreamOf<asio::serial_port>>(std::move(port));
}

}  // namespace drivesim::stream
