#include "drivesim/WireCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace wire = drivesim::wire;
using drivesim::Op;
using drivesim::Request;
using drivesim::Response;

namespace {

Request FullRequest() {
    Request r;
    r.op = Op::Download;
    r.time_s = 12.345;
    r.name = "Speed_Controller_Tuning_Test";
    r.value = -3.5;
    r.registers = {{"PWMPER", 1500}, {"KPI", -12.25}, {"", 0}};
    r.variables = {{"In1", drivesim::VarType::Int16, 5115},
                   {"b0", drivesim::VarType::Q16_16, -65536},
                   {"a5", drivesim::VarType::UInt32, 4294967295.0}};
    r.logger = drivesim::LoggerSettings{2000, 1, 1, {"Speed_Reference", "Load_Speed"}};
    r.scope = drivesim::ScopeSettings{{"IQ", "ID", "MER", "Load_Position"}, 3};
    return r;
}

Response FullResponse() {
    Response r;
    r.error = "unknown register \"XYZ\"";
    r.value = 1.2345e100;
    r.log = {{0.0, {1, 2, 3}}, {0.0005, {}}, {0.001, {-32768, 32767, 1e-300}}};
    r.frames = {{0x04, 0x00, 0x01, 0x00, 0x00, 0xE9, 0xAA, 0xBB, 0xCC, 0xDD}, {}};
    return r;
}

void ExpectSame(const Request& a, const Request& b) {
    EXPECT_EQ(a.op, b.op);
    EXPECT_EQ(a.time_s, b.time_s);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.value, b.value);
    EXPECT_EQ(a.registers, b.registers);
    ASSERT_EQ(a.variables.size(), b.variables.size());
    for (std::size_t i = 0; i < a.variables.size(); ++i) {
        EXPECT_EQ(a.variables[i].name, b.variables[i].name);
        EXPECT_EQ(a.variables[i].type, b.variables[i].type);
        EXPECT_EQ(a.variables[i].raw, b.variables[i].raw);
    }
    ASSERT_EQ(a.logger.has_value(), b.logger.has_value());
    if (a.logger) {
        EXPECT_EQ(a.logger->points, b.logger->points);
        EXPECT_EQ(a.logger->sample_kind, b.logger->sample_kind);
        EXPECT_EQ(a.logger->divider, b.logger->divider);
        EXPECT_EQ(a.logger->variables, b.logger->variables);
    }
    ASSERT_EQ(a.scope.has_value(), b.scope.has_value());
    if (a.scope) {
        EXPECT_EQ(a.scope->variables, b.scope->variables);
        EXPECT_EQ(a.scope->every_slow_samples, b.scope->every_slow_samples);
    }
}

void ExpectSame(const Response& a, const Response& b) {
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.value, b.value);
    ASSERT_EQ(a.log.size(), b.log.size());
    for (std::size_t i = 0; i < a.log.size(); ++i) {
        EXPECT_EQ(a.log[i].time_s, b.log[i].time_s);
        EXPECT_EQ(a.log[i].values, b.log[i].values);
    }
    EXPECT_EQ(a.frames, b.frames);
}

void PutDouble(std::vector<std::uint8_t>& bytes, std::size_t at, double v) {
    std::memcpy(bytes.data() + at, &v, sizeof v);  // the build machines are little-endian
}

}  // namespace

TEST(WireCodec, Crc32MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(wire::Crc32(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0xCBF43926u);
    EXPECT_EQ(wire::Crc32({}), 0u);
}

TEST(WireCodec, RequestsRoundTripWithEveryField) {
    Request bare;  // no logger, no scope, empty lists
    bare.op = Op::AxisOn;
    for (const Request& original : {FullRequest(), bare}) {
        SCOPED_TRACE(static_cast<int>(original.op));
        const auto decoded = wire::DecodeRequest(wire::EncodeRequest(original));
        ASSERT_TRUE(decoded.ok()) << decoded.error;
        ExpectSame(original, *decoded.value);
    }
}

TEST(WireCodec, ResponsesRoundTripWithLogsAndUnsolicitedFrames) {
    for (const Response& original : {FullResponse(), Response{}}) {
        const auto decoded = wire::DecodeResponse(wire::EncodeResponse(original));
        ASSERT_TRUE(decoded.ok()) << decoded.error;
        ExpectSame(original, *decoded.value);
    }
}

TEST(WireCodec, EveryTruncationOfAPayloadIsRefused) {
    const auto request = wire::EncodeRequest(FullRequest());
    for (std::size_t n = 0; n < request.size(); ++n) {
        const auto decoded = wire::DecodeRequest(std::span(request.data(), n));
        EXPECT_FALSE(decoded.ok()) << "request cut to " << n << " of " << request.size() << " bytes";
    }
    const auto response = wire::EncodeResponse(FullResponse());
    for (std::size_t n = 0; n < response.size(); ++n) {
        const auto decoded = wire::DecodeResponse(std::span(response.data(), n));
        EXPECT_FALSE(decoded.ok()) << "response cut to " << n << " of " << response.size() << " bytes";
    }
}

TEST(WireCodec, MalformedPayloadsAreRefusedWithTheFaultAndItsPlace) {
    Request simple;
    simple.op = Op::WriteRegister;
    simple.name = "KPI";
    simple.value = 7;
    const auto good = wire::EncodeRequest(simple);
    // Layout of `simple`: op(1) time(8) name-length(4) "KPI"(3) value(8) registers(4)
    // variables(4) logger flag(1) scope flag(1).
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"unknown operation", [](auto& b) { b[0] = 200; }, "unknown operation 200"},
        {"NaN time", [](auto& b) { PutDouble(b, 1, std::nan("")); }, "time is not a finite number at byte 1"},
        {"infinite value", [](auto& b) { PutDouble(b, 16, std::numeric_limits<double>::infinity()); },
         "value is not a finite number"},
        {"name longer than the payload", [](auto& b) { b[9] = 0xFF; }, "name count 255 exceeds the payload"},
        {"huge register count", [](auto& b) { b[24] = 0xFF; b[25] = 0xFF; b[26] = 0xFF; b[27] = 0x7F; },
         "register count"},
        {"bad logger flag", [](auto& b) { b[32] = 7; }, "logger presence flag 7"},
        {"trailing byte", [](auto& b) { b.push_back(0); }, "1 bytes left over"},
    };
    for (const auto& c : cases) {
        auto bytes = good;
        c.damage(bytes);
        const auto decoded = wire::DecodeRequest(bytes);
        ASSERT_FALSE(decoded.ok()) << c.what;
        EXPECT_NE(decoded.error.find(c.expected), std::string::npos) << c.what << ": " << decoded.error;
    }
    auto variable = FullRequest();
    variable.variables.resize(1);
    variable.logger.reset();
    variable.scope.reset();
    auto bytes = wire::EncodeRequest(variable);
    // The payload ends with the only variable's type (1), its value (8), and the logger and
    // scope flags (1 each).
    bytes[bytes.size() - 2 - 8 - 1] = 9;
    const auto decoded = wire::DecodeRequest(bytes);
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.error.find("unknown variable type 9"), std::string::npos) << decoded.error;
}

TEST(FrameReader, SplitsAStreamFedInPiecesOfAnySize) {
    const auto p1 = wire::EncodeRequest(FullRequest());
    const auto p2 = wire::EncodeResponse(FullResponse());
    auto stream = wire::MakeFrame(wire::FrameKind::Request, 7, p1);
    const auto second = wire::MakeFrame(wire::FrameKind::Response, 0xFFFFFFFFu, p2);
    stream.insert(stream.end(), second.begin(), second.end());
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{16}, std::size_t{1000}, stream.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        wire::FrameReader reader;
        std::vector<wire::Frame> frames;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.Feed(std::span(stream.data() + at, std::min(piece, stream.size() - at)));
            for (auto item = reader.Next(); item.event != wire::FrameReader::Event::NeedMore; item = reader.Next()) {
                ASSERT_EQ(item.event, wire::FrameReader::Event::Frame);
                frames.push_back(item.frame);
            }
        }
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].sequence, 7u);
        EXPECT_EQ(frames[0].kind, wire::FrameKind::Request);
        EXPECT_EQ(frames[0].payload, p1);
        EXPECT_EQ(frames[1].sequence, 0xFFFFFFFFu);
        EXPECT_EQ(frames[1].kind, wire::FrameKind::Response);
        EXPECT_EQ(frames[1].payload, p2);
        EXPECT_EQ(reader.SkippedBytes(), 0u);
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

// Flips each bit of a frame in turn: the damaged frame never comes out as a frame, and the
// good frame behind it always does.
TEST(FrameReader, NoSingleBitErrorPassesAndTheNextFrameIsAlwaysFound) {
    Request r;
    r.op = Op::ReadVariable;
    r.name = "MER";
    const auto payload = wire::EncodeRequest(r);
    const auto damaged_source = wire::MakeFrame(wire::FrameKind::Request, 41, payload);
    const auto next = wire::MakeFrame(wire::FrameKind::Request, 42, payload);
    for (std::size_t bit = 0; bit < damaged_source.size() * 8; ++bit) {
        auto stream = damaged_source;
        stream[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        stream.insert(stream.end(), next.begin(), next.end());
        wire::FrameReader reader;
        reader.Feed(stream);
        std::vector<std::uint32_t> good;
        int corrupted = 0;
        for (auto item = reader.Next(); item.event != wire::FrameReader::Event::NeedMore; item = reader.Next()) {
            if (item.event == wire::FrameReader::Event::Frame) good.push_back(item.frame.sequence);
            if (item.event == wire::FrameReader::Event::Corrupted) {
                ++corrupted;
                EXPECT_EQ(item.problem, "CRC mismatch");
            }
        }
        ASSERT_EQ(good, std::vector<std::uint32_t>{42}) << "bit " << bit << " of byte " << bit / 8;
        // A damaged payload or payload CRC is reported, a damaged header skipped over.
        EXPECT_EQ(corrupted, bit / 8 >= wire::kHeaderBytes ? 1 : 0) << "bit " << bit;
    }
}

TEST(FrameReader, GarbageAndAnImpossibleLengthAreSkippedNotWaitedFor) {
    const auto payload = wire::EncodeResponse(Response{});
    auto oversized = wire::MakeFrame(wire::FrameKind::Response, 1, payload);
    // A header that checks out but declares more than any payload may hold.
    const std::uint32_t huge = wire::kMaxPayloadBytes + 1;
    std::memcpy(oversized.data() + 8, &huge, 4);
    const std::uint32_t crc = wire::Crc32(std::span(oversized.data(), 12));
    std::memcpy(oversized.data() + 12, &crc, 4);

    std::vector<std::uint8_t> stream = {0x5A, 0xA5, 0x5A, 0x00, 0xFF};
    stream.insert(stream.end(), oversized.begin(), oversized.begin() + 16);
    const auto good = wire::MakeFrame(wire::FrameKind::Response, 2, payload);
    stream.insert(stream.end(), good.begin(), good.end());
    wire::FrameReader reader;
    reader.Feed(stream);
    const auto item = reader.Next();
    ASSERT_EQ(item.event, wire::FrameReader::Event::Frame);
    EXPECT_EQ(item.frame.sequence, 2u);
    EXPECT_EQ(reader.SkippedBytes(), 5u + 16u);
}

TEST(StreamAddress, SpecsAreParsedOrRefusedWithTheReason) {
    using Kind = wire::StreamAddress::Kind;
    struct Case {
        const char* spec;
        bool server;
        bool ok;
        Kind kind;
        const char* host_or_device;
        unsigned port_or_baud;
    };
    const Case cases[] = {
        {"tcp:127.0.0.1:5555", false, true, Kind::Tcp, "127.0.0.1", 5555},
        {"tcp:localhost:1", false, true, Kind::Tcp, "localhost", 1},
        {"tcp:[::1]:65535", false, true, Kind::Tcp, "::1", 65535},
        {"tcp:127.0.0.1:0", true, true, Kind::Tcp, "127.0.0.1", 0},
        {"tcp:127.0.0.1:0", false, false, Kind::Tcp, "", 0},
        {"tcp:127.0.0.1:65536", false, false, Kind::Tcp, "", 0},
        {"tcp:127.0.0.1:12ab", false, false, Kind::Tcp, "", 0},
        {"tcp:127.0.0.1:", false, false, Kind::Tcp, "", 0},
        {"tcp::5555", false, false, Kind::Tcp, "", 0},
        {"tcp:5555", false, false, Kind::Tcp, "", 0},
        {"serial:/dev/ttyUSB0", false, true, Kind::Serial, "/dev/ttyUSB0", wire::kDefaultBaud},
        {"serial:/dev/ttyS1,921600", false, true, Kind::Serial, "/dev/ttyS1", 921600},
        {"serial:/dev/ttyS1,fast", false, false, Kind::Serial, "", 0},
        {"serial:", false, false, Kind::Serial, "", 0},
        {"udp:1.2.3.4:5", false, false, Kind::Tcp, "", 0},
        {"", false, false, Kind::Tcp, "", 0},
    };
    for (const auto& c : cases) {
        const auto parsed = wire::ParseStreamAddress(c.spec, c.server);
        ASSERT_EQ(parsed.ok(), c.ok) << "\"" << c.spec << "\": " << parsed.error;
        if (!c.ok) {
            EXPECT_NE(parsed.error.find(c.spec), std::string::npos) << "the message names the address: " << parsed.error;
            continue;
        }
        EXPECT_EQ(parsed.value->kind, c.kind) << c.spec;
        if (c.kind == Kind::Tcp) {
            EXPECT_EQ(parsed.value->host, c.host_or_device) << c.spec;
            EXPECT_EQ(parsed.value->port, c.port_or_baud) << c.spec;
        } else {
            EXPECT_EQ(parsed.value->device, c.host_or_device) << c.spec;
            EXPECT_EQ(parsed.value->baud, c.port_or_baud) << c.spec;
        }
    }
}

TEST(FrameReader, ATornFrameDoesNotSwallowTheWholeFrameBehindIt) {
    const auto payload = wire::EncodeResponse(FullResponse());
    const auto torn_source = wire::MakeFrame(wire::FrameKind::Response, 1, payload);
    const auto whole = wire::MakeFrame(wire::FrameKind::Response, 2, wire::EncodeResponse(Response{}));
    // Torn anywhere after its header: the whole frame behind it comes out, fed at once or in
    // two pieces.
    for (std::size_t keep = wire::kHeaderBytes; keep < torn_source.size(); keep += 7) {
        std::vector<std::uint8_t> stream(torn_source.begin(), torn_source.begin() + static_cast<std::ptrdiff_t>(keep));
        stream.insert(stream.end(), whole.begin(), whole.end());
        for (const std::size_t split : {stream.size(), keep + 5}) {
            wire::FrameReader reader;
            reader.Feed(std::span(stream.data(), split));
            reader.Feed(std::span(stream.data() + split, stream.size() - split));
            std::vector<std::uint32_t> good;
            for (auto item = reader.Next(); item.event != wire::FrameReader::Event::NeedMore; item = reader.Next())
                if (item.event == wire::FrameReader::Event::Frame) good.push_back(item.frame.sequence);
            EXPECT_EQ(good, std::vector<std::uint32_t>{2}) << "torn after " << keep << " bytes, fed split at " << split;
        }
    }
}

// Damaged payloads by the thousand (bytes overwritten, inserted, dropped): decoding either
// succeeds or says why, and never reads outside the payload (the sanitizer build checks that).
TEST(WireCodec, RandomDamageIsRefusedOrDecodedNeverMisread) {
    std::mt19937 random(20261208);
    const std::vector<std::vector<std::uint8_t>> sources = {wire::EncodeRequest(FullRequest()),
                                                            wire::EncodeResponse(FullResponse())};
    for (std::size_t s = 0; s < sources.size(); ++s) {
        for (int trial = 0; trial < 2000; ++trial) {
            auto bytes = sources[s];
            const int edits = 1 + static_cast<int>(random() % 4);
            for (int e = 0; e < edits && !bytes.empty(); ++e) {
                const std::size_t at = random() % bytes.size();
                switch (random() % 3) {
                    case 0: bytes[at] = static_cast<std::uint8_t>(random()); break;
                    case 1: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random())); break;
                    default: bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at)); break;
                }
            }
            const std::string error = s == 0 ? wire::DecodeRequest(bytes).error : wire::DecodeResponse(bytes).error;
            if (!error.empty()) {
                EXPECT_NE(error.find(" at byte "), std::string::npos) << "source " << s << " trial " << trial << ": " << error;
            }
        }
    }
}
