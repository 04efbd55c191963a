#include "BiquadFilterChain.h"

#include "Steps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <numbers>

namespace pelmora {

namespace {

constexpr std::array<BiquadFilterType, BiquadFilterChain::kTypeCount> kFilterTypes{{
    {BiquadFilterChain::kLowPass1, "Low Pass 1st order", true},
    {BiquadFilterChain::kLowPass2, "Low Pass 2nd order", true},
    {BiquadFilterChain::kNotch, "Notch", true},
    {BiquadFilterChain::kHighPass, "High Pass", true},
    {BiquadFilterChain::kBandPass, "Band Pass", true},
    {BiquadFilterChain::kPeak, "Peak", false},
    {BiquadFilterChain::kLowShelf, "Low Shelf", false},
    {BiquadFilterChain::kHighShelf, "High Shelf", false},
    {BiquadFilterChain::kLeadLag1, "Lead-lag 1st order", true},
    {BiquadFilterChain::kLeadLag2, "Lead-lag 2nd order", true},
}};

// A coefficient count c stands for c · SF / 2^31.
constexpr double kTwoPow31 = 2147483648.0;
constexpr double kRegisterMin = -kTwoPow31;
constexpr double kRegisterMax = kTwoPow31 - 1.0;
// Above half a cycle per sample the bilinear pre-warping tan(π·f) folds back.
constexpr double kNyquist = 0.5;

constexpr int kCoefficientRegisters = 6;
constexpr std::array<const char*, kCoefficientRegisters> kRegisterSuffixes{"B0", "B1", "B2", "A1", "A2", "SF"};
// The chain counts, by location.
constexpr std::array<const char*, BiquadFilterChain::kLocationCount> kCountRegisters{"SPDREF_BQ_INI", "IQREF_BQ_INI",
                                                                                     "ASPD_BQ_INI"};

// A parameter or register name formatted on the stack, so that the register pass allocates nothing.
class Name {
public:
    Name(const char* prefix, int index, const char* suffix = "") {
        std::snprintf(m_text.data(), m_text.size(), "%s%d%s", prefix, index, suffix);
    }
    operator std::string_view() const { return m_text.data(); }

private:
    std::array<char, 32> m_text{};
};

struct FilterParameters {
    CMC_Parameter* on = nullptr;
    CMC_Parameter* type = nullptr;
    CMC_Parameter* q = nullptr;
    CMC_Parameter* f1 = nullptr;
    CMC_Parameter* f2 = nullptr;
    CMC_Parameter* location = nullptr;
};

using SlotRegisters = std::array<CMC_Parameter*, kCoefficientRegisters>;

struct ChainParameters {
    CMC_Parameter* period = nullptr;
    std::array<FilterParameters, BiquadFilterChain::kFilterCount> filters{};
    std::array<SlotRegisters, BiquadFilterChain::kSlotCount> slots{};
    std::array<CMC_Parameter*, BiquadFilterChain::kLocationCount> counts{};
};

bool LookUp(const CMC_Setup& setup, ChainParameters& chain) {
    Reads reads(setup);
    chain.period = reads("Ts_S");
    for (int n = 1; n <= BiquadFilterChain::kFilterCount; ++n) {
        FilterParameters& filter = chain.filters[static_cast<std::size_t>(n - 1)];
        filter.on = reads(Name("BQFilter", n));
        filter.type = reads(Name("BQFilterType", n));
        filter.q = reads(Name("BQFilterQ", n));
        filter.f1 = reads(Name("BQFilterF1", n));
        filter.f2 = reads(Name("BQFilterF2", n));
        filter.location = reads(Name("BQFilterLocation", n));
    }
    for (int slot = 1; slot <= BiquadFilterChain::kSlotCount; ++slot) {
        for (int r = 0; r < kCoefficientRegisters; ++r) {
            chain.slots[static_cast<std::size_t>(slot - 1)][static_cast<std::size_t>(r)] =
                reads(Name("BQ", slot, kRegisterSuffixes[static_cast<std::size_t>(r)]));
        }
    }
    for (std::size_t location = 0; location < kCountRegisters.size(); ++location) {
        chain.counts[location] = reads(kCountRegisters[location]);
    }
    return reads.ok();
}

bool IsKnownType(int type) { return type >= 0 && type < BiquadFilterChain::kTypeCount; }

bool IsLeadLag(int type) { return type == BiquadFilterChain::kLeadLag1 || type == BiquadFilterChain::kLeadLag2; }

bool UsesQ(int type) { return type >= BiquadFilterChain::kLowPass2 && type <= BiquadFilterChain::kPeak; }

// Strictly between 0 and Nyquist: at 0 the sections lose their gain or put a pole on the unit
// circle, at and beyond Nyquist tan(π·f) blows up or changes sign.
bool IsNormalisedFrequency(double f) { return f > 0.0 && f < kNyquist; }

bool FitsRegister(const CMC_Parameter& target, double value) {
    return value >= target.GetMinInBaseUnit() && value <= target.GetMaxInBaseUnit();
}

// Every type passes DC unchanged, except the high and band pass, which block it.
double DesignedDcGain(int type) {
    return type == BiquadFilterChain::kHighPass || type == BiquadFilterChain::kBandPass ? 0.0 : 1.0;
}

void ReportLeftOut(int filter, const char* reason) {
    std::array<char, 160> message{};
    std::snprintf(message.data(), message.size(), "Biquad filter %d is on but was left out of the filter chain: %s.",
                  filter, reason);
    ReportError(message.data());
}

double QuantiseCoefficient(double c, double sf) {
    return std::clamp(std::floor(c / sf * kTwoPow31 + 0.5), kRegisterMin, kRegisterMax);
}

}  // namespace

BiquadFilterChain::BiquadFilterChain() : m_types(kFilterTypes) {}

std::vector<BiquadFilterType> BiquadFilterChain::ListFilterTypes() const {
    std::vector<BiquadFilterType> offered;
    std::copy_if(m_types.begin(), m_types.end(), std::back_inserter(offered),
                 [](const BiquadFilterType& type) { return type.offered; });
    return offered;
}

int BiquadFilterChain::ComputeBiquadChain(CMC_Setup& setup) {
    ChainParameters chain;
    if (!LookUp(setup, chain)) return 0;

    const double period_s = chain.period->GetValueInBaseUnit();
    std::array<int, kLocationCount> counts{};
    std::size_t nextSlot = 0;
    bool allPlaced = true;
    for (int location = 0; location < kLocationCount; ++location) {
        for (int n = 1; n <= kFilterCount; ++n) {
            const FilterParameters& filter = chain.filters[static_cast<std::size_t>(n - 1)];
            if (!IsNonZero(filter.on->GetValueInBaseUnit())) continue;
            if (Truncate(filter.location->GetValueInBaseUnit()) != location) continue;

            const int type = Truncate(filter.type->GetValueInBaseUnit());
            const SlotRegisters& slot = chain.slots[nextSlot];
            bool placed = ComputeBiquadSection(type, filter.f1->GetValueInBaseUnit(), filter.q->GetValueInBaseUnit(),
                                               filter.f2->GetValueInBaseUnit(), period_s);
            const std::array<double, kCoefficientRegisters> section{m_section.b0, m_section.b1, m_section.b2,
                                                                    m_section.a1, m_section.a2, m_section.sf};
            // A value the host would clamp into its register's range would corrupt the section.
            for (std::size_t r = 0; placed && r < slot.size(); ++r) placed = FitsRegister(*slot[r], section[r]);
            if (!placed) {
                allPlaced = false;
                ReportLeftOut(n, "its type, frequencies and Q cannot be realised at this sampling period");
                continue;
            }
            for (std::size_t r = 0; r < slot.size(); ++r) WriteBase(*slot[r], section[r]);
            ++counts[static_cast<std::size_t>(location)];
            ++nextSlot;
        }
    }
    for (int n = 1; n <= kFilterCount; ++n) {
        const FilterParameters& filter = chain.filters[static_cast<std::size_t>(n - 1)];
        const int location = Truncate(filter.location->GetValueInBaseUnit());
        if (IsNonZero(filter.on->GetValueInBaseUnit()) && (location < 0 || location >= kLocationCount)) {
            allPlaced = false;
            ReportLeftOut(n, "its location is not one of the chain's three");
        }
    }
    for (; nextSlot < chain.slots.size(); ++nextSlot) {
        for (CMC_Parameter* target : chain.slots[nextSlot]) WriteBase(*target, 0.0);
    }
    for (std::size_t location = 0; location < counts.size(); ++location) {
        WriteBase(*chain.counts[location], counts[location]);
    }
    return allPlaced ? 1 : 0;
}

int BiquadFilterChain::WriteBiquadChain(CMC_Setup& setup) const {
    bool allTaken = true;
    auto write = [&](std::string_view name) {
        if (CMC_Parameter* target = FindOptional(setup, name)) allTaken = target->WriteToChip() != 0 && allTaken;
    };
    for (const char* count : kCountRegisters) write(count);
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        for (const char* suffix : kRegisterSuffixes) write(Name("BQ", slot, suffix));
    }
    return allTaken ? 1 : 0;
}

bool BiquadFilterChain::ComputeBiquadSection(int type, double f1_Hz, double q, double f2_Hz, double period_s) {
    if (!IsKnownType(type)) return false;
    const double f = f1_Hz * period_s;
    if (IsLeadLag(type)) q = f2_Hz * period_s;
    if (!IsNormalisedFrequency(f)) return false;
    if (IsLeadLag(type) && !IsNormalisedFrequency(q)) return false;
    if (UsesQ(type) && !(q > 0.0)) return false;

    if (!DesignBiquad(type, f, q)) return false;
    if (!QuantiseBiquad()) return false;
    CorrectDcGain(DesignedDcGain(type));
    return true;
}

bool BiquadFilterChain::DesignBiquad(int type, double f, double q) {
    if (!IsKnownType(type)) return false;
    const double k = std::tan(std::numbers::pi * f);
    const double kk = k * k;
    const double n = 1.0 / (1.0 + k / q + kk);
    // The poles shared by the second-order types.
    const double a1 = 2.0 * (kk - 1.0) * n;
    const double a2 = (1.0 - k / q + kk) * n;
    // The shelves' poles, at Q = 1/√2.
    const double shelf = 1.0 / (1.0 + std::numbers::sqrt2 * k + kk);

    BiquadSection& s = m_section;
    switch (type) {
        case kLowPass1: s = {k / (k + 1.0), k / (k + 1.0), 0.0, (k - 1.0) / (k + 1.0), 0.0, s.sf}; break;
        case kLowPass2: s = {kk * n, 2.0 * kk * n, kk * n, a1, a2, s.sf}; break;
        case kNotch: s = {(1.0 + kk) * n, 2.0 * (kk - 1.0) * n, (1.0 + kk) * n, a1, a2, s.sf}; break;
        case kHighPass: s = {n, -2.0 * n, n, a1, a2, s.sf}; break;
        case kBandPass: s = {k / q * n, 0.0, -k / q * n, a1, a2, s.sf}; break;
        case kPeak:
            // At 0 dB gain the peak and the shelves are their poles cancelled by equal zeros.
            s = {1.0, a1, a2, a1, a2, s.sf};
            break;
        case kLowShelf:
        case kHighShelf: {
            const double shelfA1 = 2.0 * (kk - 1.0) * shelf;
            const double shelfA2 = (1.0 - std::numbers::sqrt2 * k + kk) * shelf;
            s = {1.0, shelfA1, shelfA2, shelfA1, shelfA2, s.sf};
            break;
        }
        case kLeadLag1:
        case kLeadLag2: {
            // q holds the normalised lag frequency; r scales the lead zero to unity gain at DC.
            const double k2 = std::tan(std::numbers::pi * q);
            const double r = k2 / k;
            const double p0 = r * (k + 1.0) / (k2 + 1.0);
            const double p1 = r * (k - 1.0) / (k2 + 1.0);
            const double d = (k2 - 1.0) / (k2 + 1.0);
            if (type == kLeadLag1) {
                s = {p0, p1, 0.0, d, 0.0, s.sf};
            } else {
                // The first-order section squared.
                s = {p0 * p0, 2.0 * p0 * p1, p1 * p1, 2.0 * d, d * d, s.sf};
            }
            break;
        }
    }
    return true;
}

bool BiquadFilterChain::QuantiseBiquad() {
    BiquadSection& s = m_section;
    if (!AllFinite({s.b0, s.b1, s.b2, s.a1, s.a2})) return false;
    const double largest = std::max({std::abs(s.b0), std::abs(s.b1), std::abs(s.b2), std::abs(s.a1), std::abs(s.a2)});
    // SF is the smallest power of two above the largest coefficient (1 when all are below 1), so
    // that no coefficient reaches 2^31 counts. frexp (largest = m·2^e, 0.5 <= m < 1) gives it
    // exactly; ceil(log2(largest)) would stop at an exact power of two, where a coefficient equal
    // to SF would come out as 2^31.
    int exponent = 0;
    if (largest >= 1.0) std::frexp(largest, &exponent);
    const double sf = std::ldexp(1.0, exponent);
    if (!std::isfinite(sf)) return false;
    s.sf = sf;
    s.b0 = QuantiseCoefficient(s.b0, s.sf);
    s.b1 = QuantiseCoefficient(s.b1, s.sf);
    s.b2 = QuantiseCoefficient(s.b2, s.sf);
    s.a1 = QuantiseCoefficient(s.a1, s.sf);
    s.a2 = QuantiseCoefficient(s.a2, s.sf);
    return true;
}

void BiquadFilterChain::CorrectDcGain(double dcGain) {
    BiquadSection& s = m_section;
    // The DC gain is (b0 + b1 + b2) / (1 + a1 + a2), with 1 counted as 2^31 / SF.
    const double b0 = std::floor(dcGain * (kTwoPow31 / s.sf + s.a1 + s.a2) - s.b1 - s.b2 + 0.5);
    if (b0 >= kRegisterMin && b0 <= kRegisterMax) s.b0 = b0;
}

}  // namespace pelmora
