#include "BiquadFilterChain.h"

#include "TestSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

using namespace testing_support;
using pelmora::BiquadFilterChain;
using pelmora::BiquadSection;
using Registers = std::array<double, 6>;  // B0, B1, B2, A1, A2, SF

namespace {

constexpr double kTwoPow31 = 2147483648.0;
constexpr double kPeriod_s = 5e-4;  // Nyquist at 1 kHz
constexpr double kJunk = 123.0;     // every register before a computation
constexpr Registers kCleared{};
const char* const kSuffixes[] = {"B0", "B1", "B2", "A1", "A2", "SF"};
const char* const kCounts[] = {"SPDREF_BQ_INI", "IQREF_BQ_INI", "ASPD_BQ_INI"};

struct Filter {
    double on = 0, type = 1, q = 0.707, f1_Hz = 100, f2_Hz = 300, location = 0;
};

std::string Indexed(const char* prefix, int index, const char* suffix = "") {
    return prefix + std::to_string(index) + suffix;
}

std::unique_ptr<CMC_Setup> MakeChain(const std::array<Filter, 3>& filters, double period_s = kPeriod_s) {
    auto setup = MakeSetup({{"Ts_S", period_s}});
    for (int n = 1; n <= 3; ++n) {
        const Filter& f = filters[static_cast<std::size_t>(n - 1)];
        const std::pair<const char*, double> values[] = {{"BQFilter", f.on},   {"BQFilterType", f.type},
                                                         {"BQFilterQ", f.q},   {"BQFilterF1", f.f1_Hz},
                                                         {"BQFilterF2", f.f2_Hz}, {"BQFilterLocation", f.location}};
        for (const auto& [name, value] : values) Put(*setup, {Indexed(name, n), value});
        for (const char* suffix : kSuffixes) Put(*setup, {Indexed("BQ", n, suffix), kJunk});
    }
    for (const char* count : kCounts) Put(*setup, {count, kJunk});
    return setup;
}

Registers Slot(const CMC_Setup& setup, int slot) {
    Registers values{};
    for (std::size_t r = 0; r < values.size(); ++r) {
        values[r] = setup.GetParameterValueInBaseUnit(Indexed("BQ", slot, kSuffixes[r]));
    }
    return values;
}

std::array<double, 3> Counts(const CMC_Setup& setup) {
    std::array<double, 3> counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = setup.GetParameterValueInBaseUnit(kCounts[i]);
    return counts;
}

BiquadSection Section(int type, double f1_Hz, double q, double f2_Hz = 0) {
    BiquadFilterChain chain;
    EXPECT_TRUE(chain.ComputeBiquadSection(type, f1_Hz, q, f2_Hz, kPeriod_s));
    return chain.Section();
}

Registers RegistersOf(const Filter& f) {
    const BiquadSection s = Section(static_cast<int>(f.type), f.f1_Hz, f.q, f.f2_Hz);
    return {s.b0, s.b1, s.b2, s.a1, s.a2, s.sf};
}

// |H| at f_Hz, for coefficients in which `one` stands for 1.
double Magnitude(const BiquadSection& s, double f_Hz, double one) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f_Hz * kPeriod_s);
    return std::abs((s.b0 + s.b1 * z1 + s.b2 * z1 * z1) / (one + s.a1 * z1 + s.a2 * z1 * z1));
}

TEST(BiquadFilterChain, OffersTheDialogsTypesInTableOrder) {
    std::vector<std::pair<int, std::string>> listed;
    for (const auto& type : BiquadFilterChain().ListFilterTypes()) listed.emplace_back(type.number, type.name);
    EXPECT_EQ(listed, (std::vector<std::pair<int, std::string>>{
                          {0, "Low Pass 1st order"}, {1, "Low Pass 2nd order"}, {2, "Notch"}, {3, "High Pass"},
                          {4, "Band Pass"}, {8, "Lead-lag 1st order"}, {9, "Lead-lag 2nd order"}}));
}

TEST(BiquadFilterChain, NoFilterOnClearsEverySlotAndCount) {
    auto setup = MakeChain({});
    EXPECT_EQ(BiquadFilterChain().ComputeBiquadChain(*setup), 1);
    for (int slot = 1; slot <= 3; ++slot) EXPECT_EQ(Slot(*setup, slot), kCleared) << "slot " << slot;
    EXPECT_EQ(Counts(*setup), (std::array<double, 3>{0, 0, 0}));
}

TEST(BiquadFilterChain, SlotsGoByLocationBeforeFilterNumber) {
    const Filter first = {1, 2, 2, 200, 0, 1};  // a notch on the current reference
    const Filter third = {1, 8, 0, 50, 150, 0};  // a lead-lag on the speed reference
    auto setup = MakeChain({first, Filter{}, third});
    EXPECT_EQ(BiquadFilterChain().ComputeBiquadChain(*setup), 1);
    EXPECT_EQ(Slot(*setup, 1), RegistersOf(third));
    EXPECT_EQ(Slot(*setup, 2), RegistersOf(first));
    EXPECT_EQ(Slot(*setup, 3), kCleared);
    EXPECT_EQ(Counts(*setup), (std::array<double, 3>{1, 1, 0}));
}

// b0 is corrected after quantising so that the DC gain is exact: b0 + b1 + b2 − a1 − a2 is "1"
// (2^31 / SF) for the types that pass DC, and b0 + b1 + b2 is 0 for the high and band pass.
// Rounding leaves the sum a count off either way (above at 300 Hz for the first-order low pass and
// at 50 Hz for the second-order one, below at 700 Hz and 1 Hz), and both are corrected.
TEST(BiquadFilterChain, DcGainIsExactForEveryOfferedType) {
    for (int type : {0, 1, 2, 3, 4, 8, 9}) {
        for (double f_Hz : {1.0, 50.0, 300.0, 700.0, 950.0}) {
            for (double q : {0.5, 0.707, 5.0}) {
                const double lag_Hz = q * 150;  // lead-lags only
                SCOPED_TRACE("type " + std::to_string(type) + " at " + std::to_string(f_Hz) + " Hz, Q " +
                             std::to_string(q));
                const BiquadSection s = Section(type, f_Hz, q, lag_Hz);
                if (type == 3 || type == 4) {
                    EXPECT_EQ(s.b0 + s.b1 + s.b2, 0.0);
                } else {
                    EXPECT_EQ(s.b0 + s.b1 + s.b2 - s.a1 - s.a2, kTwoPow31 / s.sf);
                }
                if (type == 0) {  // first order: one pole, all coefficients below 1
                    EXPECT_EQ((std::array{s.b2, s.a2, s.sf}), (std::array{0.0, 0.0, 1.0}));
                }
            }
        }
    }
}

// Each type's defining gain after quantising: at its own frequency, and for the lead-lags the
// pre-warped lag-to-lead ratio that they reach at Nyquist.
TEST(BiquadFilterChain, ResponseMatchesTheType) {
    const double r = std::tan(std::numbers::pi * 300 * kPeriod_s) / std::tan(std::numbers::pi * 50 * kPeriod_s);
    const std::array<double, 6> cases[] = {
        // type, f1, Q, f2, at, |H|
        {0, 100, 0, 0, 100, 1 / std::sqrt(2.0)}, {1, 100, 5, 0, 100, 5},       {2, 200, 2, 0, 200, 0},
        {3, 100, 0.707, 0, 100, 0.707},          {3, 100, 0.707, 0, 1000, 1},  {4, 150, 3, 0, 150, 1},
        {8, 50, 0, 300, 1000, r},                {9, 50, 0, 300, 1000, r * r}, {5, 100, 2, 0, 30, 1},
        {6, 100, 2, 0, 300, 1},                  {7, 100, 2, 0, 300, 1},
    };
    for (const auto& [type, f1, q, f2, at, magnitude] : cases) {
        SCOPED_TRACE("type " + std::to_string(type) + " at " + std::to_string(at) + " Hz");
        const BiquadSection s = Section(static_cast<int>(type), f1, q, f2);
        EXPECT_NEAR(Magnitude(s, at, kTwoPow31 / s.sf), magnitude, 1e-5 * std::max(1.0, magnitude));
    }
}

TEST(BiquadFilterChain, ScaleKeepsEveryCoefficientBelowTwoToThe31) {
    const std::tuple<const char*, BiquadSection, double> cases[] = {
        {"all below 1", {0.75, 0.5, 0, -0.25, 0}, 1},
        {"largest exactly 1", {1, 0.5, 0, -0.25, 0}, 2},
        {"largest just below 2", {1, std::nextafter(2.0, 0.0), 0, 0, 0}, 2},
        {"largest exactly 2", {2, 0.5, 0, -1, 0}, 4},
    };
    for (const auto& [name, coefficients, sf] : cases) {
        SCOPED_TRACE(name);
        BiquadFilterChain chain;
        chain.Section() = coefficients;
        ASSERT_TRUE(chain.QuantiseBiquad());
        const BiquadSection& s = chain.Section();
        EXPECT_EQ(s.sf, sf);
        EXPECT_EQ(s.b0, std::floor(coefficients.b0 / sf * kTwoPow31 + 0.5));
        for (double c : {s.b0, s.b1, s.b2, s.a1, s.a2}) EXPECT_TRUE(c >= -kTwoPow31 && c < kTwoPow31) << c;
    }
}

// A filter that is on but cannot be realised is left out like one that is off: the next filter
// takes its slot, it is not counted, and the host hears which one.
TEST(BiquadFilterChain, UnrealisableFilterIsLeftOut) {
    const std::tuple<const char*, Filter, double> cases[] = {
        {"type 10", {1, 10}, 0},
        {"type -1", {1, -1}, 0},
        {"location 3", {1, 1, 0.707, 100, 300, 3}, 0},
        {"frequency at Nyquist", {1, 1, 0.707, 1000}, 0},
        {"frequency beyond Nyquist", {1, 2, 0.707, 1500}, 0},
        {"frequency 0", {1, 0, 0.707, 0}, 0},
        {"lag frequency at Nyquist", {1, 8, 0, 100, 1000}, 0},
        {"lag frequency 0", {1, 9, 0, 100, 0}, 0},
        {"Q 0", {1, 2, 0}, 0},
        {"negative Q", {1, 3, -1}, 0},
        {"scale beyond its register", {1, 9, 0, 1, 900}, 65535},
    };
    const Filter good = {1, 0, 0, 100};
    for (const auto& [name, filter, sfMax] : cases) {
        SCOPED_TRACE(name);
        auto setup = MakeChain({filter, good, Filter{}});
        if (sfMax > 0) setup->FindParameter("BQ1SF")->SetMaxInBaseUnit(sfMax);
        TakeCollectedErrors();
        EXPECT_EQ(BiquadFilterChain().ComputeBiquadChain(*setup), 0);
        const std::vector<std::string> errors = TakeCollectedErrors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("filter 1"), std::string::npos) << errors[0];
        EXPECT_EQ(Slot(*setup, 1), RegistersOf(good));
        EXPECT_EQ(Slot(*setup, 2), kCleared);
        EXPECT_EQ(Counts(*setup), (std::array<double, 3>{1, 0, 0}));
    }
    auto noPeriod = MakeChain({good}, 0.0);
    EXPECT_EQ(BiquadFilterChain().ComputeBiquadChain(*noPeriod), 0);
    EXPECT_EQ(Slot(*noPeriod, 1), kCleared);
}

TEST(BiquadFilterChain, MissingParameterChangesNothing) {
    for (const char* missing : {"Ts_S", "BQFilterLocation2", "BQ3SF", "ASPD_BQ_INI"}) {
        SCOPED_TRACE(missing);
        auto full = MakeChain({Filter{1}});
        auto setup = std::make_unique<CMC_Setup>();
        for (const auto& p : full->GetParameters()) {
            if (!EqualsNoCase(p->GetName(), missing)) Put(*setup, {p->GetName(), p->GetValueInBaseUnit()});
        }
        TakeCollectedErrors();
        EXPECT_EQ(BiquadFilterChain().ComputeBiquadChain(*setup), 0);
        const std::vector<std::string> errors = TakeCollectedErrors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(missing), std::string::npos) << errors[0];
        for (const auto& p : setup->GetParameters()) {
            EXPECT_EQ(p->GetValueInBaseUnit(), full->GetParameterValueInBaseUnit(p->GetName())) << p->GetName();
        }
    }
}

TEST(BiquadFilterChain, WritingSkipsRegistersTheSetupLacks) {
    auto setup = MakeSetup({{"IQREF_BQ_INI", 1}, {"BQ1B0", 5}, {"BQ3SF", 2}});
    TakeCollectedErrors();
    BiquadFilterChain().WriteBiquadChain(*setup);
    for (const std::string& error : TakeCollectedErrors()) {
        EXPECT_EQ(error.find("not found"), std::string::npos) << error;
    }
}

}  // namespace
