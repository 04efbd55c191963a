#include "StreamLink.h"

#include "drivesim/AsioStream.h"
#include "drivesim/WireCodec.h"

#include <array>
#include <chrono>
#include <cmath>
#include <sstream>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
namespace wire = drivesim::wire;

std::string Seconds(double s) {
    std::ostringstream text;
    text << s << " s";
    return text.str();
}

Clock::duration ToDuration(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

class StreamLink final : public DriveLink {
public:
    StreamLink(std::string description, StreamLinkOptions options, std::unique_ptr<asio::io_context> io,
               std::unique_ptr<drivesim::stream::ByteStream> stream)
        : m_description(std::move(description)),
          m_options(options),
          m_io(std::move(io)),
          m_stream(std::move(stream)) {}

    ~StreamLink() override {
        if (m_stream) m_stream->Close();
    }

    drivesim::Response Transact(const drivesim::Request& request) override {
        if (!m_broken.empty()) return Failure(m_broken);
        const std::uint32_t sequence = ++m_sequence;
        const auto frame =
            wire::MakeFrame(wire::FrameKind::Request, sequence, wire::EncodeRequest(request));
        const auto start = Clock::now();
        const auto silence = ToDuration(m_options.timeout_s);
        const auto hard_deadline = start + ToDuration(m_options.timeout_s * kMaxTransactionFactor);

        asio::error_code ec;
        bool done = false;
        m_stream->AsyncWrite(asio::buffer(frame), [&](const asio::error_code& e, std::size_t) {
            ec = e;
            done = true;
        });
        if (!RunUntil(done, ec, start + silence)) return Failure(NoAnswer());
        if (ec) return Lost(ec);

        const std::size_t skipped_before = m_reader.SkippedBytes();
        auto deadline = std::min(start + silence, hard_deadline);
        for (;;) {
            for (auto item = m_reader.Next(); item.event != wire::FrameReader::Event::NeedMore;
                 item = m_reader.Next()) {
                // Anything but the answer to this request is left behind: the server's answer
                // to an earlier request that timed out arrives late and is skipped here.
                if (item.frame.kind != wire::FrameKind::Response || item.frame.sequence != sequence) continue;
                if (item.event == wire::FrameReader::Event::Corrupted)
                    return Failure("corrupted frame from " + m_description + " (" + item.problem + ")");
                auto response = wire::DecodeResponse(item.frame.payload);
                if (!response.ok()) return Failure("corrupted frame from " + m_description + " (" + response.error + ")");
                return std::move(*response.value);
            }
            std::size_t received = 0;
            done = false;
            m_stream->AsyncReadSome(asio::buffer(m_in), [&](const asio::error_code& e, std::size_t n) {
                ec = e;
                received = n;
                done = true;
            });
            if (!RunUntil(done, ec, deadline)) {
                if (m_reader.SkippedBytes() != skipped_before)
                    return Failure("corrupted frame from " + m_description + " (no valid frame header within " +
                                   Seconds(m_options.timeout_s) + ")");
                return Failure(NoAnswer());
            }
            if (ec) return Lost(ec);
            m_reader.Feed(std::span(m_in.data(), received));
            deadline = std::min(Clock::now() + silence, hard_deadline);
        }
    }

    std::string Describe() const override { return m_description; }

private:
    // Runs the pending operation until it completes or the deadline passes; false on timeout,
    // with the operation cancelled and its handler run, so nothing refers to our locals later.
    bool RunUntil(bool& done, asio::error_code& ec, Clock::time_point deadline) {
        m_io->restart();
        while (!done && m_io->run_one_until(deadline) != 0) {
        }
        if (done) return true;
        m_stream->Cancel();
        m_io->restart();
        m_io->run();
        // It may have completed just as the deadline passed: then its result stands.
        return done && ec != asio::error::operation_aborted;
    }

    std::string NoAnswer() const {
        return "no answer from " + m_description + " within " + Seconds(m_options.timeout_s);
    }

    drivesim::Response Lost(const asio::error_code& ec) {
        if (ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
            ec == asio::error::connection_aborted)
            m_broken = "the drive at " + m_description + " closed the connection";
        else
            m_broken = "the link to " + m_description + " failed: " + ec.message();
        m_stream->Close();
        m_reader.Clear();
        return Failure(m_broken);
    }

    static drivesim::Response Failure(std::string text) {
        drivesim::Response response;
        response.error = std::move(text);
        return response;
    }

    std::string m_description;
    StreamLinkOptions m_options;
    std::unique_ptr<asio::io_context> m_io;
    std::unique_ptr<drivesim::stream::ByteStream> m_stream;
    wire::FrameReader m_reader;
    std::array<std::uint8_t, 64 * 1024> m_in{};
    std::uint32_t m_sequence = 0;
    std::string m_broken;  // set once the peer is gone: every later transaction says so
};

std::unique_ptr<drivesim::stream::ByteStream> ConnectTcp(asio::io_context& io, const wire::StreamAddress& address,
                                                         const std::string& spec, double timeout_s,
                                                         std::string& error) {
    const auto deadline = Clock::now() + ToDuration(timeout_s);
    tcp::resolver resolver(io);
    tcp::socket socket(io);
    asio::error_code ec;
    bool done = false;
    tcp::resolver::results_type endpoints;
    resolver.async_resolve(address.host, std::to_string(address.port),
                           [&](const asio::error_code& e, tcp::resolver::results_type results) {
                               ec = e;
                               endpoints = std::move(results);
                               done = true;
                           });
    while (!done && io.run_one_until(deadline) != 0) {
    }
    if (!done) {
        resolver.cancel();
        io.restart();
        io.run();
        error = "cannot resolve " + address.host + " within " + Seconds(timeout_s);
        return nullptr;
    }
    if (ec) {
        error = "cannot resolve " + address.host + ": " + ec.message();
        return nullptr;
    }
    done = false;
    io.restart();
    asio::async_connect(socket, endpoints, [&](const asio::error_code& e, const tcp::endpoint&) {
        ec = e;
        done = true;
    });
    while (!done && io.run_one_until(deadline) != 0) {
    }
    if (!done) {
        asio::error_code ignored;
        socket.close(ignored);
        io.restart();
        io.run();
        error = "cannot connect to " + spec + " within " + Seconds(timeout_s);
        return nullptr;
    }
    if (ec) {
        error = "cannot connect to " + spec + ": " + ec.message();
        return nullptr;
    }
    // Transactions are small and strictly alternate: Nagle's delay would cost every one.
    socket.set_option(tcp::no_delay(true), ec);
    return std::make_unique<drivesim::stream::ByteStreamOf<tcp::socket>>(std::move(socket));
}

}  // namespace

std::unique_ptr<DriveLink> MakeStreamLink(const std::string& spec, std::string& error) {
    return MakeStreamLink(spec, StreamLinkOptions{}, error);
}

std::unique_ptr<DriveLink> MakeStreamLink(const std::string& spec, const StreamLinkOptions& options,
                                          std::string& error) {
    if (!std::isfinite(options.timeout_s) || options.timeout_s <= 0.0) {
        error = "the link timeout must be a positive number of seconds";
        return nullptr;
    }
    auto address = wire::ParseStreamAddress(spec, false);
    if (!address.ok()) {
        error = address.error;
        return nullptr;
    }
    auto io = std::make_unique<asio::io_context>(1);
    std::unique_ptr<drivesim::stream::ByteStream> stream =
        address.value->kind == wire::StreamAddress::Kind::Tcp
            ? ConnectTcp(*io, *address.value, spec, options.timeout_s, error)
            : drivesim::stream::OpenSerial(*io, *address.value, error);
    if (!stream) return nullptr;
    return std::make_unique<StreamLink>(spec, options, std::move(io), std::move(stream));
}
