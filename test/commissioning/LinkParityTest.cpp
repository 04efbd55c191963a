// Every commissioning test gives the same outcome over the TCP stream link, against a served
// simulated drive, as in-process: the link carries the host's time, so the drive cannot tell.
#include "TestCommands.h"

#include "DriveServer.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

namespace {

class ServedDrive {
public:
    ServedDrive() : m_drive(drivesim::DefaultSimConfig()) {
        std::string error;
        m_server = drivesim::DriveServer::Open("tcp:127.0.0.1:0", m_drive, error);
        if (!m_server) throw std::runtime_error(error);
        m_thread = std::thread([this] { m_server->Run(); });
    }
    ~ServedDrive() {
        m_server->Stop();
        m_thread.join();
    }
    ServedDrive(const ServedDrive&) = delete;
    ServedDrive& operator=(const ServedDrive&) = delete;

    std::string Address() const { return m_server->Address(); }

private:
    drivesim::Drive m_drive;
    std::unique_ptr<drivesim::DriveServer> m_server;
    std::thread m_thread;
};

struct Outcome {
    int exitCode;
    std::string printed;
};

Outcome RunOver(PluginLibrary& plugin, std::string_view test, const std::string& drive) {
    std::ostringstream out;
    std::ostringstream err;
    TestArguments a;
    a.name = test;
    a.drive = drive;
    a.answer = "no";
    const int code = RunTest(CommandContext{out, err, plugin}, a);
    return {code, out.str() + (code == 0 ? std::string() : err.str())};
}

TEST(LinkParity, EveryTestFindsTheSameOverTcpAsInProcess) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error();
    for (std::string_view test : CommissioningTestNames()) {
        SCOPED_TRACE(std::string(test));
        const Outcome local = RunOver(plugin, test, "sim");
        ServedDrive served;  // a fresh drive per test, as the in-process run has
        const Outcome remote = RunOver(plugin, test, served.Address());
        EXPECT_EQ(local.exitCode, 0) << local.printed;
        EXPECT_EQ(remote.exitCode, local.exitCode) << remote.printed;
        EXPECT_EQ(remote.printed, local.printed);
    }
}

}  // namespace
