#include "MC_DriveLink.h"
#include "StreamLink.h"

#include <exception>

InProcessLink::InProcessLink(const drivesim::SimConfig& sim) : m_drive(std::make_unique<drivesim::Drive>(sim)) {}

InProcessLink::~InProcessLink() = default;

drivesim::Response InProcessLink::Transact(const drivesim::Request& request) {
    // The link promises never to throw: a fault inside the simulator reaches the user as a
    // failed transaction, as a broken cable would.
    try {
        // A dropped link loses the request: the drive must not act on it.
        m_drive->AdvanceTo(request.time_s);
        if (m_drive->LinkDropped()) {
            drivesim::Response response;
            response.error = "the drive does not answer (link dropped)";
            return response;
        }
        return drivesim::Dispatch(*m_drive, request);
    } catch (const std::exception& e) {
        drivesim::Response response;
        response.error = std::string("the simulated drive failed: ") + e.what();
        return response;
    }
}

std::unique_ptr<DriveLink> MakeDriveLink(const std::string& spec, const drivesim::SimConfig& sim,
                                         std::string& error) {
    error.clear();
    if (spec.empty() || spec == "sim") return std::make_unique<InProcessLink>(sim);
    // A drive process holds its own simulator configuration: `sim` is for the in-process link.
    if (spec.starts_with("tcp:") || spec.starts_with("serial:")) return MakeStreamLink(spec, error);
    error = "unknown drive \"" + spec + "\": use sim, tcp:HOST:PORT or serial:DEVICE";
    return nullptr;
}
