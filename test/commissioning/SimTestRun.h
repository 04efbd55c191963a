// Running a commissioning test dialog headless against the in-process simulated drive, as a user
// does: Start, wait on the host's clock, look at the outcome, close.
#pragma once

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"
#include "MC_TestDlg.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace sim_testing {

// What a run left behind.
struct RunOutcome {
    bool ended = false;  // the run ended by itself within the wait
    int result = -2;     // the dialog's result code
    int returned = -1;   // what DoModal returned
    std::string status;
    std::string error;
};

// A simulator file of drivesim/motors/ read over the default truth.
inline drivesim::SimConfig MotorSim(const std::string& file) {
    if (file.empty()) return drivesim::DefaultSimConfig();
    auto loaded = drivesim::LoadSimConfig(std::string(PELMORA_MOTOR_DIR) + "/" + file);
    EXPECT_TRUE(loaded.ok()) << loaded.error;
    return loaded.ok() ? *loaded.value : drivesim::DefaultSimConfig();
}

class SimTestFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
        sim = drivesim::DefaultSimConfig();
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }
    // A fresh user interface, clock and drive for the next case of a table.
    void Fresh() {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    }
    // A fresh default setup as well.
    void FreshSetup() {
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
    }

    double Value(const char* name) const { return setup->FindParameter(name)->GetValueInBaseUnit(); }
    void Set(const char* name, double value) { ASSERT_TRUE(setup->FindParameter(name)->SetValueInBaseUnit(value)) << name; }

    // Every parameter's base value, to tell what a run changed.
    std::map<std::string, double> Snapshot() const {
        std::map<std::string, double> values;
        for (const auto& p : setup->GetParameters()) values[p->GetName()] = p->GetValueInBaseUnit();
        return values;
    }
    // The parameters whose values differ between two snapshots, but for the start method's
    // minimum move, which opening any test zeroes.
    static std::string Changed(const std::map<std::string, double>& before, const std::map<std::string, double>& after) {
        std::string names;
        for (const auto& [name, value] : before) {
            if (name == "ABSTART_MINMOVE") continue;
            const auto it = after.find(name);
            if (it == after.end() || it->second != value) names += name + " ";
        }
        return names;
    }

    // Opens `dialog`, runs `prepare` (by default nothing), presses Start, waits for the run to end
    // (at most `wait_s` of the host's clock), then `then` (by default nothing) and Close.
    RunOutcome Run(CMC_TestDlg& dialog, double wait_s, const std::function<void(DialogDriver&)>& then = nullptr,
                   const std::function<void(DialogDriver&)>& prepare = nullptr) {
        RunOutcome outcome;
        ui->OnDialog(std::string(dialog.GetCaption()), [&](DialogDriver& d) {
            if (prepare) prepare(d);
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            outcome.ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, wait_s);
            outcome.status = dialog.GetChildText(IDC_TEST_STATUS);
            if (then) then(d);
            if (dialog.m_bRunning) d.Click("#10000");
            if (dialog.IsOpen()) d.Click("Close");
        });
        outcome.returned = dialog.DoModal();
        outcome.result = dialog.m_nResult;
        outcome.error = dialog.m_strError;
        return outcome;
    }

    std::unique_ptr<HeadlessUi> ui;
    std::unique_ptr<CMC_Setup> setup;
    drivesim::SimConfig sim;
};

}  // namespace sim_testing
