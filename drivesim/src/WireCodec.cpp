#include "drivesim/WireCodec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

namespace drivesim::wire {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    constexpr std::uint32_t kPolynomial = 0xEDB88320u;  // 0x04C11DB7 bit-reversed
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (kPolynomial ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

class Writer {
public:
    void U8(std::uint8_t v) { m_bytes.push_back(v); }
    void U32(std::uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) m_bytes.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void F64(double v) {
        const auto bits = std::bit_cast<std::uint64_t>(v);
        for (int shift = 0; shift < 64; shift += 8) m_bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    void Size(std::size_t n) { U32(static_cast<std::uint32_t>(n)); }
    void String(const std::string& s) {
        Size(s.size());
        m_bytes.insert(m_bytes.end(), s.begin(), s.end());
    }
    void Bytes(const std::vector<std::uint8_t>& b) {
        Size(b.size());
        m_bytes.insert(m_bytes.end(), b.begin(), b.end());
    }
    std::vector<std::uint8_t> Take() { return std::move(m_bytes); }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Reads what Writer wrote. The first failure sticks: later reads return zeros and the caller
// checks Failed() once, with the first fault and its byte offset kept for the message.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::uint8_t U8(const char* what) {
        if (!Need(1, what)) return 0;
        return m_bytes[m_pos++];
    }
    std::uint32_t U32(const char* what) {
        if (!Need(4, what)) return 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(m_bytes[m_pos++]) << (8 * i);
        return v;
    }
    std::int32_t I32(const char* what) { return static_cast<std::int32_t>(U32(what)); }
    double F64(const char* what) {
        if (!Need(8, what)) return 0.0;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(m_bytes[m_pos++]) << (8 * i);
        const double v = std::bit_cast<double>(bits);
        if (!std::isfinite(v)) {
            Fail(std::string(what) + " is not a finite number", m_pos - 8);
            return 0.0;
        }
        return v;
    }
    // An element count, refused when even the smallest elements could not fit in what is left:
    // a damaged count must not make us reserve gigabytes.
    std::size_t Count(std::size_t min_element_bytes, const char* what) {
        const std::size_t at = m_pos;
        const std::uint32_t n = U32(what);
        if (m_failed) return 0;
        if (static_cast<std::uint64_t>(n) * min_element_bytes > Remaining()) {
            Fail(std::string(what) + " count " + std::to_string(n) + " exceeds the payload", at);
            return 0;
        }
        return n;
    }
    std::string String(const char* what) {
        const std::size_t n = Count(1, what);
        if (m_failed) return {};
        std::string s(reinterpret_cast<const char*>(m_bytes.data() + m_pos), n);
        m_pos += n;
        return s;
    }
    std::vector<std::uint8_t> Bytes(const char* what) {
        const std::size_t n = Count(1, what);
        if (m_failed) return {};
        std::vector<std::uint8_t> b(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos),
                                    m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
        m_pos += n;
        return b;
    }
    void Fail(std::string message, std::size_t at) {
        if (m_failed) return;
        m_failed = true;
        m_error = message + " at byte " + std::to_string(at);
    }
    bool Failed() const { return m_failed; }
    std::size_t Position() const { return m_pos; }
    std::size_t Remaining() const { return m_bytes.size() - m_pos; }
    // The complaint for the whole payload, or empty when it was read exactly.
    std::string Finish() {
        if (!m_failed && Remaining() != 0)
            Fail(std::to_string(Remaining()) + " bytes left over", m_pos);
        return m_error;
    }

private:
    bool Need(std::size_t n, const char* what) {
        if (m_failed) return false;
        if (Remaining() < n) {
            Fail(std::string("payload ends inside ") + what, m_pos);
            return false;
        }
        return true;
    }

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_failed = false;
    std::string m_error;
};

// Smallest encodings, for bounding counts before anything is allocated.
constexpr std::size_t kMinString = 4;
constexpr std::size_t kMinRegister = kMinString + 8;
constexpr std::size_t kMinVariable = kMinString + 1 + 8;
constexpr std::size_t kMinRecord = 8 + 4;

constexpr std::uint8_t kLastOp = static_cast<std::uint8_t>(Op::UploadLog);
constexpr std::uint8_t kLastVarType = static_cast<std::uint8_t>(VarType::Float);

void WriteStrings(Writer& w, const std::vector<std::string>& strings) {
    w.Size(strings.size());
    for (const auto& s : strings) w.String(s);
}

std::vector<std::string> ReadStrings(Reader& r, const char* what) {
    const std::size_t n = r.Count(kMinString, what);
    std::vector<std::string> strings;
    strings.reserve(n);
    for (std::size_t i = 0; i < n && !r.Failed(); ++i) strings.push_back(r.String(what));
    return strings;
}

bool ReadPresence(Reader& r, const char* what) {
    const std::size_t at = r.Position();
    const std::uint8_t flag = r.U8(what);
    if (flag > 1) r.Fail(std::string(what) + " presence flag " + std::to_string(flag), at);
    return flag == 1;
}

std::uint32_t ReadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void WriteLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> EncodeRequest(const Request& request) {
    Writer w;
    w.U8(static_cast<std::uint8_t>(request.op));
    w.F64(request.time_s);
    w.String(request.name);
    w.F64(request.value);
    w.Size(request.registers.size());
    for (const auto& [name, value] : request.registers) {
        w.String(name);
        w.F64(value);
    }
    w.Size(request.variables.size());
    for (const auto& v : request.variables) {
        w.String(v.name);
        w.U8(static_cast<std::uint8_t>(v.type));
        w.F64(v.raw);
    }
    w.U8(request.logger ? 1 : 0);
    if (request.logger) {
        w.I32(request.logger->points);
        w.I32(request.logger->sample_kind);
        w.I32(request.logger->divider);
        WriteStrings(w, request.logger->variables);
    }
    w.U8(request.scope ? 1 : 0);
    if (request.scope) {
        WriteStrings(w, request.scope->variables);
        w.I32(request.scope->every_slow_samples);
    }
    return w.Take();
}

Result<Request> DecodeRequest(std::span<const std::uint8_t> payload) {
    Reader r(payload);
    Request request;
    const std::uint8_t op = r.U8("operation");
    if (!r.Failed() && op > kLastOp) r.Fail("unknown operation " + std::to_string(op), 0);
    request.op = static_cast<Op>(op);
    request.time_s = r.F64("time");
    request.name = r.String("name");
    request.value = r.F64("value");
    const std::size_t registers = r.Count(kMinRegister, "register");
    request.registers.reserve(registers);
    for (std::size_t i = 0; i < registers && !r.Failed(); ++i) {
        std::string name = r.String("register name");
        const double value = r.F64("register value");
        request.registers.emplace_back(std::move(name), value);
    }
    const std::size_t variables = r.Count(kMinVariable, "variable");
    request.variables.reserve(variables);
    for (std::size_t i = 0; i < variables && !r.Failed(); ++i) {
        ProgramVariable v;
        v.name = r.String("variable name");
        const std::size_t at = r.Position();
        const std::uint8_t type = r.U8("variable type");
        if (!r.Failed() && type > kLastVarType) r.Fail("unknown variable type " + std::to_string(type), at);
        v.type = static_cast<VarType>(type);
        v.raw = r.F64("variable value");
        request.variables.push_back(std::move(v));
    }
    if (ReadPresence(r, "logger")) {
        LoggerSettings logger;
        logger.points = r.I32("logger points");
        logger.sample_kind = r.I32("logger sample kind");
        logger.divider = r.I32("logger divider");
        logger.variables = ReadStrings(r, "logger variable");
        request.logger = std::move(logger);
    }
    if (ReadPresence(r, "scope")) {
        ScopeSettings scope;
        scope.variables = ReadStrings(r, "scope variable");
        scope.every_slow_samples = r.I32("scope divider");
        request.scope = std::move(scope);
    }
    std::string error = r.Finish();
    if (!error.empty()) return Result<Request>::Fail("malformed request: " + error);
    return Result<Request>::Ok(std::move(request));
}

std::vector<std::uint8_t> EncodeResponse(const Response& response) {
    Writer w;
    w.String(response.error);
    w.F64(response.value);
    w.Size(response.log.size());
    for (const auto& record : response.log) {
        w.F64(record.time_s);
        w.Size(record.values.size());
        for (const double v : record.values) w.F64(v);
    }
    w.Size(response.frames.size());
    for (const auto& frame : response.frames) w.Bytes(frame);
    return w.Take();
}

Result<Response> DecodeResponse(std::span<const std::uint8_t> payload) {
    Reader r(payload);
    Response response;
    response.error = r.String("error text");
    response.value = r.F64("value");
    const std::size_t records = r.Count(kMinRecord, "log record");
    response.log.reserve(records);
    for (std::size_t i = 0; i < records && !r.Failed(); ++i) {
        LogRecord record;
        record.time_s = r.F64("log time");
        const std::size_t values = r.Count(8, "log value");
        record.values.reserve(values);
        for (std::size_t k = 0; k < values && !r.Failed(); ++k) record.values.push_back(r.F64("log value"));
        response.log.push_back(std::move(record));
    }
    const std::size_t frames = r.Count(4, "unsolicited frame");
    response.frames.reserve(frames);
    for (std::size_t i = 0; i < frames && !r.Failed(); ++i) response.frames.push_back(r.Bytes("unsolicited frame"));
    std::string error = r.Finish();
    if (!error.empty()) return Result<Response>::Fail("malformed response: " + error);
    return Result<Response>::Ok(std::move(response));
}

std::vector<std::uint8_t> MakeFrame(FrameKind kind, std::uint32_t sequence, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(kHeaderBytes + payload.size() + kCrcBytes);
    frame.push_back(kMagic0);
    frame.push_back(kMagic1);
    frame.push_back(static_cast<std::uint8_t>(kind));
    frame.push_back(kVersion);
    WriteLe32(frame, sequence);
    WriteLe32(frame, static_cast<std::uint32_t>(payload.size()));
    WriteLe32(frame, Crc32(std::span(frame.data(), 12)));
    frame.insert(frame.end(), payload.begin(), payload.end());
    WriteLe32(frame, Crc32(payload));
    return frame;
}

void FrameReader::Feed(std::span<const std::uint8_t> bytes) {
    Compact();
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

void FrameReader::Clear() {
    m_buffer.clear();
    m_start = 0;
    m_candidates.clear();
    m_scanned = 0;
}

void FrameReader::Compact() {
    if (m_start == 0) return;
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
    for (auto& c : m_candidates) c -= m_start;
    m_scanned = m_scanned > m_start ? m_scanned - m_start : 0;
    m_start = 0;
}

std::optional<std::size_t> FrameReader::HeaderAt(std::size_t at) const {
    if (m_buffer.size() - at < kHeaderBytes) return std::nullopt;
    const std::uint8_t* h = m_buffer.data() + at;
    if (h[0] != kMagic0 || h[1] != kMagic1 || (h[2] != 1 && h[2] != 2) || h[3] != kVersion) return std::nullopt;
    if (Crc32(std::span(h, 12)) != ReadLe32(h + 12)) return std::nullopt;
    const std::uint32_t length = ReadLe32(h + 8);
    if (length > kMaxPayloadBytes) return std::nullopt;
    return length;
}

bool FrameReader::CompleteAndIntact(std::size_t at) const {
    const auto length = HeaderAt(at);
    if (!length || m_buffer.size() - at < kHeaderBytes + *length + kCrcBytes) return false;
    const std::uint8_t* payload = m_buffer.data() + at + kHeaderBytes;
    return Crc32(std::span(payload, *length)) == ReadLe32(payload + *length);
}

void FrameReader::Skip(std::size_t n) {
    m_start += n;
    m_skipped += n;
    std::erase_if(m_candidates, [&](std::size_t c) { return c < m_start; });
}

FrameReader::Item FrameReader::Next() {
    for (;;) {
        if (Buffered() < kHeaderBytes) return {};
        const auto length = HeaderAt(m_start);
        if (!length) {
            Skip(1);
            continue;
        }
        if (Buffered() < kHeaderBytes + *length + kCrcBytes) {
            // The frame here may be torn (its sender gave up half-way). A later header whose
            // frame is already whole and intact proves it: resume there rather than wait for
            // bytes that belong to the next frame.
            if (m_scanned < m_start + 1) m_scanned = m_start + 1;
            for (; m_scanned + kHeaderBytes <= m_buffer.size(); ++m_scanned)
                if (HeaderAt(m_scanned)) m_candidates.push_back(m_scanned);
            const auto whole = std::find_if(m_candidates.begin(), m_candidates.end(),
                                            [&](std::size_t c) { return CompleteAndIntact(c); });
            if (whole == m_candidates.end()) return {};
            Skip(*whole - m_start);
            continue;
        }
        const std::uint8_t* h = m_buffer.data() + m_start;
        const std::uint8_t* payload = h + kHeaderBytes;
        Item item;
        item.frame.kind = static_cast<FrameKind>(h[2]);
        item.frame.sequence = ReadLe32(h + 4);
        if (Crc32(std::span(payload, *length)) == ReadLe32(payload + *length)) {
            item.event = Event::Frame;
            item.frame.payload.assign(payload, payload + *length);
            m_start += kHeaderBytes + *length + kCrcBytes;
        } else {
            // Step over the header only: if the length was right the rest is skipped as
            // garbage, and if the frame was torn, the next frame inside it is still found.
            item.event = Event::Corrupted;
            item.problem = "CRC mismatch";
            m_start += 1;
        }
        std::erase_if(m_candidates, [&](std::size_t c) { return c < m_start; });
        return item;
    }
}

Result<StreamAddress> ParseStreamAddress(const std::string& spec, bool allow_port_zero) {
    using R = Result<StreamAddress>;
    constexpr std::string_view kTcp = "tcp:";
    constexpr std::string_view kSerial = "serial:";
    StreamAddress address;
    const std::string_view text(spec);
    if (text.starts_with(kTcp)) {
        std::string_view rest = text.substr(kTcp.size());
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos || colon == 0)
            return R::Fail("\"" + spec + "\": expected tcp:HOST:PORT");
        std::string_view host = rest.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        const std::string_view port = rest.substr(colon + 1);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535 ||
            (value == 0 && !allow_port_zero))
            return R::Fail("\"" + spec + "\": the port must be a number from 1 to 65535");
        address.kind = StreamAddress::Kind::Tcp;
        address.host = std::string(host);
        address.port = static_cast<std::uint16_t>(value);
        return R::Ok(std::move(address));
    }
    if (text.starts_with(kSerial)) {
        std::string_view rest = text.substr(kSerial.size());
        const std::size_t comma = rest.rfind(',');
        if (comma != std::string_view::npos) {
            const std::string_view baud = rest.substr(comma + 1);
            unsigned value = 0;
            const auto [end, ec] = std::from_chars(baud.data(), baud.data() + baud.size(), value);
            if (baud.empty() || ec != std::errc() || end != baud.data() + baud.size() || value == 0)
                return R::Fail("\"" + spec + "\": the baud rate must be a positive number");
            address.baud = value;
            rest = rest.substr(0, comma);
        }
        if (rest.empty()) return R::Fail("\"" + spec + "\": expected serial:DEVICE");
        address.kind = StreamAddress::Kind::Serial;
        address.device = std::string(rest);
        return R::Ok(std::move(address));
    }
    return R::Fail("\"" + spec + "\": a stream link is tcp:HOST:PORT or serial:DEVICE");
}

}  // namespace drivesim::wire
