// Identifies the winding resistance and inductance seen from the drive: two resistance runs at
// the test current and at half of it, each after a positioning run, then an inductance run.
#pragma once

#include "MyTestDlg.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace pelmora {

// The resistance from two runs at different currents: the difference quotient cancels a voltage
// offset of the power stage that both runs share. Nothing when the currents are equal.
std::optional<double> ResistanceFromTwoRuns_ohm(double voltage1_counts, double voltage2_counts, double current1_counts,
                                                double current2_counts, double voltageScale_per_V,
                                                double currentScale_per_A);

// The inductance from the inductance run: the 90°-lagging mean current component `idMean_counts`
// under a voltage amplitude `voltage_counts` at angle step `angleStep` per current-loop period.
// Nothing when the run gives no frequency or no current.
std::optional<double> InductanceFromRun_H(double idMean_counts, double powerMean_counts2, double voltage_counts,
                                          double angleStep, double currentLoopPeriod_s, double voltageScale_per_V,
                                          double currentScale_per_A);

// The mean of a logged variable, accumulated sample by sample; nothing without samples.
std::optional<double> RunningMean(std::span<const double> samples);

class CTestRL : public CMyTestDlg {
public:
    explicit CTestRL(CMC_Setup* setup, int flag = 1);
    ~CTestRL() override;

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;
    void OnCancel() override;

    static constexpr int kHelpTopic = 262412;
    // The bounds the computed inductance must lie within, henries.
    static constexpr double kMinInductance_H = 1e-5;
    static constexpr double kMaxInductance_H = 1.0;

    // The last values computed, in ohms and henries, also when a check then failed the run; the
    // setup's values until a run computes them.
    double ComputedR() const { return m_computedR_ohm; }
    double ComputedL() const { return m_computedL_H; }

private:
    // Starts a resistance run at `current_counts` after the positioning just finished.
    bool StartResistanceRun(int current_counts, int logType, bool truncateHandOver);
    // The mean logged "IQ" of the run that just ended, or nothing (test failed).
    std::optional<double> UploadedMeanCurrent();
    bool FinishSecondResistanceRun();
    bool StartInductanceRun();
    void FinishInductanceRun();
    // Sets a program variable; fails the test with `failure` (the host's text when empty).
    bool SetProgramVariable(CMC_CoffFormat& program, const char* name, double value, const char* failure = nullptr);
    void RestoreVdc();

    CMC_CoffFormat m_resistance;
    CMC_CoffFormat m_inductance;
    std::unique_ptr<CMC_SingleAxisLogger> m_logger;
    double m_computedL_H = 0.0;
    double m_computedR_ohm = 0.0;
    double m_savedL_H = 0.0;
    double m_savedR_ohm = 0.0;
    double m_meanCurrent1_counts = 0.0;
    double m_meanCurrent2_counts = 0.0;
    double m_voltage1_counts = 0.0;
    double m_voltage2_counts = 0.0;
    double m_savedVdc_V = 0.0;
    bool m_hasVdc = false;
    // "TestCurrent" in counts as the run began; the positioning's own copy follows its last run.
    std::int32_t m_current_counts = 0;
};

}  // namespace pelmora
