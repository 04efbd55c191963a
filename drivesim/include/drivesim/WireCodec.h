// The drive's transactions as bytes on a stream (TCP socket or serial port).
//
// A frame is a 16-byte header with its own CRC, then the payload and the payload's CRC:
//   0-1  magic 0x5A 0xA5            2  kind (1 request, 2 response)   3  format version (1)
//   4-7  sequence number             8-11  payload length in bytes
//   12-15 CRC-32 of bytes 0-11       16..  payload, then CRC-32 of the payload
// Every integer and double is little-endian. The header CRC lets a reader refuse a damaged
// length at once instead of waiting for bytes that never come, and lets it find the next
// frame after garbage by scanning for a header that checks out.
#pragma once

#include "drivesim/Drive.h"
#include "drivesim/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace drivesim::wire {

constexpr std::uint8_t kMagic0 = 0x5A;
constexpr std::uint8_t kMagic1 = 0xA5;
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kCrcBytes = 4;
// A full data log (16 384 values) with its time stamps is about 200 kB; anything far beyond
// that is a damaged length, not a payload.
constexpr std::uint32_t kMaxPayloadBytes = 16u * 1024u * 1024u;

enum class FrameKind : std::uint8_t { Request = 1, Response = 2 };

// CRC-32 (IEEE 802.3, reflected, as zlib computes it).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> EncodeRequest(const Request& request);
std::vector<std::uint8_t> EncodeResponse(const Response& response);
// Refuse a payload that is short, has bytes left over, names an unknown operation or type,
// declares more elements than bytes remain for, or carries a NaN or infinite number.
Result<Request> DecodeRequest(std::span<const std::uint8_t> payload);
Result<Response> DecodeResponse(std::span<const std::uint8_t> payload);

std::vector<std::uint8_t> MakeFrame(FrameKind kind, std::uint32_t sequence, std::span<const std::uint8_t> payload);

struct Frame {
    FrameKind kind = FrameKind::Request;
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> payload;
};

// Splits a byte stream into frames. Bytes that do not start a valid header are skipped one at
// a time (counted in SkippedBytes), so the reader finds its way back after garbage or a torn
// frame; a frame whose header checks out but whose payload does not is reported, and the
// search for the next header goes on right after its header.
class FrameReader {
public:
    enum class Event { NeedMore, Frame, Corrupted };
    struct Item {
        Event event = Event::NeedMore;
        Frame frame;          // Event::Frame
        std::string problem;  // Event::Corrupted: "CRC mismatch", ...
    };

    void Feed(std::span<const std::uint8_t> bytes);
    // The next event from the bytes fed so far.
    Item Next();
    // Forgets everything buffered (after the peer went away or a reconnect).
    void Clear();
    std::size_t SkippedBytes() const { return m_skipped; }
    std::size_t Buffered() const { return m_buffer.size() - m_start; }

private:
    void Compact();
    void Skip(std::size_t n);
    // The payload length when a valid header starts at `at`.
    std::optional<std::size_t> HeaderAt(std::size_t at) const;
    bool CompleteAndIntact(std::size_t at) const;

    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_skipped = 0;
    // Valid headers seen behind an incomplete frame, and how far the buffer was searched.
    std::vector<std::size_t> m_candidates;
    std::size_t m_scanned = 0;
};

// Where a stream link goes: "tcp:HOST:PORT" (an IPv6 host in brackets) or
// "serial:DEVICE[,BAUD]" (8N1, 115200 baud unless given).
constexpr unsigned kDefaultBaud = 115200;
struct StreamAddress {
    enum class Kind { Tcp, Serial };
    Kind kind = Kind::Tcp;
    std::string host;
    std::uint16_t port = 0;
    std::string device;
    unsigned baud = kDefaultBaud;
};
// `allow_port_zero`: a server may ask for any free port, a client may not.
Result<StreamAddress> ParseStreamAddress(const std::string& spec, bool allow_port_zero);

}  // namespace drivesim::wire
