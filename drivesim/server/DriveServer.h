// Serves one simulated drive over a byte stream: a TCP listener taking one connection at a
// time, or a serial port. Each request frame is dispatched to the drive and answered with a
// response frame of the same sequence number.
#pragma once

#include "drivesim/Drive.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace drivesim {

class DriveServer {
public:
    // Binds or opens what `listen` names ("tcp:HOST:PORT", PORT 0 for any free port, or
    // "serial:DEVICE[,BAUD]"); null with the reason in `error` when it cannot.
    static std::unique_ptr<DriveServer> Open(const std::string& listen, Drive& drive, std::string& error);
    virtual ~DriveServer() = default;

    // Serves until Stop(); returns the reason when serving had to end on its own (the serial
    // device went away), empty after Stop().
    virtual std::string Run() = 0;
    // Safe from any thread and from a signal handler's thread.
    virtual void Stop() = 0;
    // What is served, with the actual port: "tcp:127.0.0.1:40123".
    virtual std::string Address() const = 0;

    // Sees every outgoing frame before it is sent; returning false drops it. Lets tests stand
    // in for a damaged line or a drive that stops answering.
    using ReplyFilter = std::function<bool(std::vector<std::uint8_t>& frame)>;
    virtual void SetReplyFilter(ReplyFilter filter) = 0;
};

}  // namespace drivesim
