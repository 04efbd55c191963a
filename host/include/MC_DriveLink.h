// How the host reaches one drive: a transaction goes out as a request and comes back as a
// response, in process (the simulator linked in) or framed over a byte stream (TCP, serial).
#pragma once

#include "drivesim/Protocol.h"

#include <memory>
#include <string>

class DriveLink {
public:
    virtual ~DriveLink() = default;
    // Never throws and never hangs: a lost, late or corrupted exchange comes back as a response
    // whose error says what happened.
    virtual drivesim::Response Transact(const drivesim::Request& request) = 0;
    // "in-process simulator", "tcp:127.0.0.1:5555", ...
    virtual std::string Describe() const = 0;
};
