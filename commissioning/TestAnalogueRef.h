// Shows the analogue reference input and the command it means in the control mode, live, until
// the user presses Stop.
#pragma once

#include "MC_Graph.h"
#include "MyTestDlg.h"

#include <optional>
#include <string>

namespace pelmora {

// The value a reading of the analogue input means on a linear scale from `low` (count 0) to
// `high` (full scale), to two decimals.
double AnalogueInputValue(double low, double high, double ad5_counts);

// Where a bar of limits lo..hi is drawn from: the end nearer zero when both limits lie on one
// side of it, else zero.
double BarDrawingReference(double lo, double hi);

class CTestAnalogueRef : public CMyTestDlg {
public:
    explicit CTestAnalogueRef(CMC_Setup* setup, int flag = 0);

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;

    static constexpr int kHelpTopic = 262404;

    // What the bars show, for the backends that draw them and for tests.
    const CBarGraph& VoltageBar() const { return m_voltageBar; }
    const CBarGraph& CommandBar() const { return m_commandBar; }
    // The input's span in volts and the command's span in its unit on show (none when the control
    // mode is none of position, speed and current).
    double VoltageLow() const { return m_voltageLow_V; }
    double VoltageHigh() const { return m_voltageHigh_V; }
    bool HasCommand() const { return m_commandRange.has_value(); }

private:
    struct Range {
        double low;
        double high;
    };
    static void ShowOnBar(CBarGraph& bar, double lo, double hi, double value);

    std::string m_commandLabel;
    CBarGraph m_voltageBar;
    double m_voltageLow_V = 0.0;
    double m_voltageHigh_V = 0.0;
    CBarGraph m_commandBar;
    std::optional<Range> m_commandRange;
};

}  // namespace pelmora
