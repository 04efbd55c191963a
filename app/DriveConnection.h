// The drive a command talks to: the simulated drive in process (with the truth of --sim, or the
// embedded one) or the link --drive names, connected for as long as the object lives.
#pragma once

#include <string>

class DriveConnection {
public:
    DriveConnection() = default;
    DriveConnection(const DriveConnection&) = delete;
    DriveConnection& operator=(const DriveConnection&) = delete;
    ~DriveConnection();

    // Connects; empty on success, else why not (nothing is connected then).
    std::string Open(const std::string& simPath, const std::string& drive);

private:
    bool m_open = false;
};
