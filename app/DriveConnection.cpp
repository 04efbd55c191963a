#include "DriveConnection.h"

#include "MC_Comm.h"
#include "MC_DriveLink.h"

#include <drivesim/SimConfig.h>

DriveConnection::~DriveConnection() {
    if (m_open) CMC_Comm::Connect(nullptr);
}

std::string DriveConnection::Open(const std::string& simPath, const std::string& drive) {
    drivesim::SimConfig sim = drivesim::DefaultSimConfig();
    if (!simPath.empty()) {
        auto loaded = drivesim::LoadSimConfig(simPath);
        if (!loaded.ok()) return loaded.error;
        sim = *loaded.value;
    }
    std::string error;
    auto link = MakeDriveLink(drive, sim, error);
    if (!link) return error;
    CMC_Comm::Connect(std::move(link));
    m_open = true;
    return {};
}
