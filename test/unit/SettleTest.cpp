// A setup that the user changed settles: after SettleSetup (what the dialogs' OK and `pelmora
// set` leave) one more round of registers-then-parameters changes nothing, and a register that
// the drive takes as a truncated count does not lose a count on every round trip.
#include "Decode.h"
#include "Encode.h"
#include "MC_SetupFile.h"
#include "Options.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

struct State {
    std::string name;
    double value, min, max;
    bool operator==(const State&) const = default;
};

std::vector<State> TakeAll(const CMC_Setup& setup) {
    std::vector<State> all;
    for (const auto& p : setup.GetParameters()) {
        all.push_back({p->GetName(), p->GetValueInBaseUnit(), p->GetMinInBaseUnit(), p->GetMaxInBaseUnit()});
    }
    return all;
}

// What moved between two snapshots, one line per parameter.
std::string Moved(const std::vector<State>& before, const std::vector<State>& after) {
    std::ostringstream text;
    text.precision(17);
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
        if (before[i] == after[i]) continue;
        text << "  " << before[i].name << ": " << before[i].value << " [" << before[i].min << ", " << before[i].max
             << "] -> " << after[i].value << " [" << after[i].min << ", " << after[i].max << "]\n";
    }
    return text.str();
}

bool IsUserSetting(const CMC_Parameter& p) {
    switch (p.GetKind()) {
        case ParameterKind::Register:
        case ParameterKind::Constant:
        case ParameterKind::Derived: return false;
        default: return true;
    }
}

std::unique_ptr<CMC_Setup> DefaultSetup() {
    SetupLoadResult loaded = LoadDefaultSetup();
    EXPECT_TRUE(loaded) << loaded.error;
    AttachCoreScales(*loaded.setup);
    return std::move(loaded.setup);
}

// Settles `setup` and then checks that a further round moves nothing; "" or what went wrong.
std::string SettleAndCheck(CMC_Setup& setup) {
    const int rounds = pelmora::SettleSetup(setup);
    if (rounds == 0) return "did not settle within " + std::to_string(pelmora::kMaxSettleRounds) + " rounds";
    const std::vector<State> settled = TakeAll(setup);
    pelmora::UpdateRegistersWithCurrentPeriods(setup);
    pelmora::ComputeAll(setup);
    const std::string moved = Moved(settled, TakeAll(setup));
    return moved.empty() ? "" : "settled after " + std::to_string(rounds) + " rounds, but the next one moves:\n" + moved;
}

// Every filter a user can type comes back as the same coefficient, however often the dialogs
// are confirmed (the coefficient used to lose a count per round: 298, 297, 296...).
TEST(Settling, CurrentFilterKeepsItsCoefficientOverRoundTrips) {
    int drifting = 0;
    for (int i = 0; i <= 50; ++i) {
        const double cutoff_Hz = 20.0 + 200.0 * i;
        const auto setup = DefaultSetup();
        setup->FindParameter("isUseFilterOnCrtCtrlOutput")->SetValueInBaseUnit(1);
        setup->FindParameter("FilterOnCurrentControllerOutput")->SetValueInBaseUnit(cutoff_Hz);
        pelmora::UpdateRegistersFromParameters(*setup);
        const double first = setup->GetParameterValueInBaseUnit("FILTERQ");
        for (int round = 0; round < 3; ++round) {
            pelmora::ComputeAll(*setup);
            pelmora::UpdateRegistersFromParameters(*setup);
        }
        const double last = setup->GetParameterValueInBaseUnit("FILTERQ");
        if (last != first) {
            ++drifting;
            ADD_FAILURE() << cutoff_Hz << " Hz: FILTERQ " << first << " became " << last << " in three rounds";
        }
    }
    EXPECT_EQ(drifting, 0);
}

TEST(Settling, OverVoltageThresholdKeepsItsCountOverRoundTrips) {
    for (int i = 0; i <= 40; ++i) {
        const double threshold_V = 40.0 + 1.5 * i;
        const auto setup = DefaultSetup();
        setup->FindParameter("UMAX_PROT")->SetValueInBaseUnit(threshold_V);
        pelmora::UpdateRegistersFromParameters(*setup);
        const double first = setup->GetParameterValueInBaseUnit("UMAXPROT");
        for (int round = 0; round < 3; ++round) {
            pelmora::ComputeAll(*setup);
            pelmora::UpdateRegistersFromParameters(*setup);
        }
        EXPECT_EQ(setup->GetParameterValueInBaseUnit("UMAXPROT"), first) << threshold_V << " V";
    }
}

// Every user setting at each end of its range, one at a time.
TEST(Settling, EverySettingAtEitherEndSettles) {
    const auto reference = DefaultSetup();
    for (const auto& p : reference->GetParameters()) {
        if (!IsUserSetting(*p)) continue;
        for (const bool atMax : {false, true}) {
            const auto setup = DefaultSetup();
            CMC_Parameter* target = setup->FindParameter(p->GetName());
            const double value = atMax ? target->GetMaxInBaseUnit() : target->GetMinInBaseUnit();
            target->SetValueInBaseUnit(value);
            const std::string fault = SettleAndCheck(*setup);
            EXPECT_EQ(fault, "") << p->GetName() << " at its " << (atMax ? "maximum " : "minimum ") << value;
        }
    }
}

// Many settings changed at once, at random values inside their ranges or at their ends.
TEST(Settling, RandomSetupsSettle) {
    std::mt19937_64 random(20261207);
    constexpr int kSetups = 300;
    int unsettled = 0;
    for (int n = 0; n < kSetups; ++n) {
        const auto setup = DefaultSetup();
        std::ostringstream changed;
        changed.precision(17);
        for (const auto& p : setup->GetParameters()) {
            if (!IsUserSetting(*p) || std::uniform_int_distribution<int>(0, 3)(random) != 0) continue;
            const double lo = p->GetMinInBaseUnit();
            const double hi = p->GetMaxInBaseUnit();
            double value = lo;
            switch (std::uniform_int_distribution<int>(0, 3)(random)) {
                case 0: value = lo; break;
                case 1: value = hi; break;
                default: value = lo + (hi - lo) * std::uniform_real_distribution<double>(0.0, 1.0)(random); break;
            }
            p->SetValueInBaseUnit(value);
            changed << p->GetName() << "=" << p->GetValueInBaseUnit() << " ";
        }
        const std::string fault = SettleAndCheck(*setup);
        if (!fault.empty() && ++unsettled <= 5) ADD_FAILURE() << "setup " << n << " (" << changed.str() << "): " << fault;
    }
    EXPECT_EQ(unsettled, 0) << "of " << kSetups;
}

}  // namespace
