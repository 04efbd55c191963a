// How the host reaches one drive: a transaction goes out as a request and comes back as a
// response, in process (the simulator linked in) or framed over a byte stream (TCP, serial).
#pragma once

#include "drivesim/Protocol.h"
#include "drivesim/SimConfig.h"

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

// The simulator linked into the host: each request advances it to the request's time first.
class InProcessLink : public DriveLink {
public:
    explicit InProcessLink(const drivesim::SimConfig& sim);
    ~InProcessLink() override;
    drivesim::Response Transact(const drivesim::Request& request) override;
    std::string Describe() const override { return "in-process simulator"; }

private:
    std::unique_ptr<drivesim::Drive> m_drive;
};

// The link a --drive text names: "" or "sim" for the in-process simulator (built from `sim`),
// "tcp:HOST:PORT" or "serial:DEVICE" for a drive behind a byte stream. Null with `error` set
// when the text names no link this build can open.
std::unique_ptr<DriveLink> MakeDriveLink(const std::string& spec, const drivesim::SimConfig& sim,
                                         std::string& error);
