#include "TestFactory.h"

#include "DetectHallGainOffset.h"
#include "TestPhaseConnections.h"
#include "TestAnalogueRef.h"
#include "TestRL.h"
#include "TestCurrent.h"
#include "TestPositionTuning.h"
#include "TestSpeedTuning.h"
#include "TestVdcDetection.h"
#include "TotalMassTest.h"

#include <array>

namespace pelmora {

namespace {

using MakeTest = std::unique_ptr<CDialog> (*)(CMC_Setup*);

template <typename Test>
std::unique_ptr<CDialog> Make(CMC_Setup* setup) {
    return std::make_unique<Test>(setup);
}

struct TestMaker {
    CommissioningTest test;
    MakeTest make;
};

// The tests this build has; a button whose test is missing here stays disabled.
constexpr std::array kTests = {
    TestMaker{CommissioningTest::VdcDetection, &Make<CTestVdcDetection>},
    TestMaker{CommissioningTest::OffsetDetection, &Make<CDetectHallGainOffset>},
    TestMaker{CommissioningTest::PhaseConnection, &Make<CTestPhaseConnections>},
    TestMaker{CommissioningTest::AnalogueReference, &Make<CTestAnalogueRef>},
    TestMaker{CommissioningTest::ResistanceInductance, &Make<CTestRL>},
    TestMaker{CommissioningTest::TotalMass, &Make<CTotalMassTest>},
    TestMaker{CommissioningTest::CurrentTuning, &Make<CTestCurrent>},
    TestMaker{CommissioningTest::SpeedTuning, &Make<CTestSpeedTuning>},
    TestMaker{CommissioningTest::PositionTuning, &Make<CTestPositionTuning>},
};

MakeTest FindMaker(CommissioningTest test) {
    for (const TestMaker& row : kTests) {
        if (row.test == test) return row.make;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<CDialog> MakeTestDialog(CommissioningTest test, CMC_Setup* setup) {
    const MakeTest make = FindMaker(test);
    return make ? make(setup) : nullptr;
}

bool IsTestBuilt(CommissioningTest test) {
    return FindMaker(test) != nullptr;
}

}  // namespace pelmora
