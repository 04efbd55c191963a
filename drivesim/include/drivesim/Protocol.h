// The drive's transactions as data, so that one dispatcher serves the in-process link and the
// stream server alike, and both give the same results.
#pragma once

#include "drivesim/Drive.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace drivesim {

enum class Op : std::uint8_t {
    Ping = 0,
    WriteRegisters,
    WriteRegister,
    ReadRegister,
    Stop,
    Download,
    Start,
    ReadProgramVariable,
    WriteProgramVariable,
    ReadVariable,
    WriteVariable,
    AxisOn,
    UploadLog,
};

struct Request {
    Op op = Op::Ping;
    double time_s = 0.0;  // the host's clock: the drive advances to it before the operation
    std::string name;     // register, variable or program
    double value = 0.0;
    std::vector<std::pair<std::string, double>> registers;
    std::vector<ProgramVariable> variables;
    std::optional<LoggerSettings> logger;
    std::optional<ScopeSettings> scope;
};

struct Response {
    std::string error;  // empty on success
    double value = 0.0; // what a read returns; AxisOn: 1 or 0
    std::vector<LogRecord> log;
    // Unsolicited frames the drive queued until now: every response carries them, so a
    // request/response link needs no second channel.
    std::vector<std::vector<std::uint8_t>> frames;
    bool ok() const { return error.empty(); }
};

// Advances the drive to the request's time, performs it, and collects the queued frames.
Response Dispatch(Drive& drive, const Request& request);

}  // namespace drivesim
