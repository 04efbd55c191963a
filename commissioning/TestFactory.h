// The one place that knows which commissioning test dialog answers which setup-dialog button.
#pragma once

#include "MC_Dialog.h"

#include <memory>

class CMC_Setup;

namespace pelmora {

// The commissioning tests a setup dialog can open.
enum class CommissioningTest {
    VdcDetection,
    CurrentTuning,
    SpeedTuning,
    PositionTuning,
    PhaseConnection,
    ResistanceInductance,
    OffsetDetection,
    AnalogueReference,
    TotalMass,
};

// The test's dialog over `setup`, or nothing when this build lacks the test.
std::unique_ptr<CDialog> MakeTestDialog(CommissioningTest test, CMC_Setup* setup);

// Whether this build has the test (whether a drive can be reached is the caller's question).
bool IsTestBuilt(CommissioningTest test);

}  // namespace pelmora
