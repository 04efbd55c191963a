// A drive for host tests: it answers every transaction from a few maps, runs a "program" on a
// fixed timetable (STARTED after a delay, axis on until it ends), records every request, and
// fails the transactions a test asks it to.
#pragma once

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace host_testing {

struct FakeDriveState {
    std::vector<drivesim::Request> requests;
    std::map<std::string, double> registers;
    std::map<std::string, double> variables{{"MER", 0.0}, {"REFTST_V", 1200.0}, {"RINCTST_V", 18.0}};
    std::map<std::string, double> programVariables;
    std::string program;
    std::optional<drivesim::LoggerSettings> logger;
    std::optional<drivesim::ScopeSettings> scope;
    std::vector<drivesim::LogRecord> log;
    std::vector<std::vector<std::uint8_t>> framesToSend;

    // The timetable of a started program: STARTED := 1 after `startDelay_s`, axis on from then
    // until `runTime_s` after the start; 0 run time: it never ends.
    double startDelay_s = 0.1;
    double runTime_s = 0.5;
    std::optional<double> startedAt_s;
    bool stopped = true;

    // Failures to inject: an operation (optionally only for one name) answers with this error.
    std::set<std::pair<drivesim::Op, std::string>> failing;
    std::set<drivesim::Op> failingOps;
    // What every variable read answers instead of the map (a drive that talks nonsense).
    std::optional<double> variableOverride;

    bool AxisOn(double now_s) const {
        if (stopped || !startedAt_s) return false;
        const double t = now_s - *startedAt_s;
        return t >= startDelay_s && (runTime_s <= 0.0 || t < runTime_s);
    }

    std::size_t Count(drivesim::Op op) const {
        std::size_t n = 0;
        for (const auto& r : requests) n += r.op == op ? 1 : 0;
        return n;
    }
};

class FakeDrive : public DriveLink {
public:
    explicit FakeDrive(FakeDriveState& state) : m_s(state) {}

    drivesim::Response Transact(const drivesim::Request& request) override {
        m_s.requests.push_back(request);
        drivesim::Response response;
        if (m_s.failingOps.count(request.op) || m_s.failing.count({request.op, request.name})) {
            response.error = "injected failure";
            return response;
        }
        const double now_s = request.time_s;
        if (m_s.startedAt_s && !m_s.stopped && now_s - *m_s.startedAt_s >= m_s.startDelay_s)
            m_s.programVariables["STARTED"] = 1.0;
        switch (request.op) {
        case drivesim::Op::Ping: break;
        case drivesim::Op::WriteRegisters:
            for (const auto& [name, value] : request.registers) m_s.registers[name] = value;
            break;
        case drivesim::Op::WriteRegister: m_s.registers[request.name] = request.value; break;
        case drivesim::Op::ReadRegister: {
            const auto it = m_s.registers.find(request.name);
            if (it == m_s.registers.end()) response.error = "unknown register";
            else response.value = it->second;
            break;
        }
        case drivesim::Op::Stop: m_s.stopped = true; break;
        case drivesim::Op::Download:
            m_s.program = request.name;
            m_s.programVariables.clear();
            for (const auto& v : request.variables) m_s.programVariables[v.name] = v.raw;
            m_s.logger = request.logger;
            m_s.scope = request.scope;
            break;
        case drivesim::Op::Start:
            m_s.startedAt_s = now_s;
            m_s.stopped = false;
            break;
        case drivesim::Op::ReadProgramVariable: {
            const auto it = m_s.programVariables.find(request.name);
            if (it == m_s.programVariables.end()) response.error = "unknown program variable";
            else response.value = it->second;
            break;
        }
        case drivesim::Op::WriteProgramVariable: m_s.programVariables[request.name] = request.value; break;
        case drivesim::Op::ReadVariable: {
            const auto it = m_s.variables.find(request.name);
            if (m_s.variableOverride) response.value = *m_s.variableOverride;
            else if (it == m_s.variables.end()) response.error = "unknown variable";
            else response.value = it->second;
            break;
        }
        case drivesim::Op::WriteVariable: m_s.variables[request.name] = request.value; break;
        case drivesim::Op::AxisOn: response.value = m_s.AxisOn(now_s) ? 1.0 : 0.0; break;
        case drivesim::Op::UploadLog:
            if (m_s.log.empty()) response.error = "the logger was not triggered";
            else response.log = m_s.log;
            break;
        }
        response.frames = std::move(m_s.framesToSend);
        m_s.framesToSend.clear();
        return response;
    }

    std::string Describe() const override { return "fake drive"; }

private:
    FakeDriveState& m_s;
};

// Each test gets a headless clock at zero and a fresh fake drive; nothing outlives it.
class FakeDriveFixture {
public:
    FakeDriveFixture() {
        SetUiBackend(&ui);
        CMC_Comm::Connect(std::make_unique<FakeDrive>(drive));
    }
    ~FakeDriveFixture() {
        CMC_Comm::Connect(nullptr);
        CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(nullptr);
        SetUiBackend(nullptr);
    }
    FakeDriveFixture(const FakeDriveFixture&) = delete;
    FakeDriveFixture& operator=(const FakeDriveFixture&) = delete;

    HeadlessUi ui;
    FakeDriveState drive;
};

// The fake drive connected, and the default setup loaded with the plug-in's scales attached.
class FakeDriveTest : public ::testing::Test, public FakeDriveFixture {
protected:
    void SetUp() override {
        auto loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
    }
    std::unique_ptr<CMC_Setup> setup;
};

}  // namespace host_testing
