// Sets up the motor's three linear Hall sensors: after the preliminary positioning the drive
// turns the mover slowly while the dialog shows the three signals live; the offsets, gains and
// alignment the drive measured then go into the setup.
#pragma once

#include "LiveTrace.h"
#include "MyTestDlg.h"

#include <array>
#include <cstdint>

namespace pelmora {

class CDetectHallGainOffset : public CMyTestDlg {
public:
    explicit CDetectHallGainOffset(CMC_Setup* setup, int flag = 1);

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;
    // Close ends the dialog with OK whatever the run's state: the motor setup then shows what
    // the test stored.
    void OnCancel() override;

    static constexpr int kHelpTopic = 262416;
    // 65472 counts (a 10-bit reading, left-aligned) are 5 V.
    static constexpr double kHallCountsPerVolt = 13094.4;

    // The live displays, for whoever draws or records them.
    const CLiveTrace& GetTrace(int channel) const { return m_traces.at(static_cast<std::size_t>(channel)); }
    // Samples the last acquisition read.
    std::size_t GetSampleCount() const { return m_samples; }

private:
    // Each returns false when the run ended (failed) on the way.
    bool LaunchMainProgram();
    // The live acquisition until the drive reports an outcome or Stop; the drive's status, or
    // nothing when the run has ended.
    std::optional<double> Acquire();
    void StoreResults();
    const char* ThirdHallSignal() const;

    CMC_CoffFormat m_program;
    std::array<CLiveTrace, 3> m_traces;
    std::size_t m_samples = 0;
    double m_acquisitionStart_s = 0.0;
};

}  // namespace pelmora
