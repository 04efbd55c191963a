// The drive's chain of up to three biquad sections in its slow loop. Each of the user's three
// filters (BQFilter<n>, BQFilterType<n>, BQFilterQ<n>, BQFilterF1<n>, BQFilterF2<n>,
// BQFilterLocation<n>) that is on becomes one section: its coefficients are designed, quantised to
// the drive's fixed point and stored in the next free slot's registers BQ<i>B0 ... BQ<i>SF. The
// drive runs the slots in order, the first SPDREF_BQ_INI of them on the speed reference (location
// 0), the next IQREF_BQ_INI on the current reference (location 1), the next ASPD_BQ_INI on the
// speed feedback (location 2); so slots are handed out by location first and filter number second.
//
// A filter that is on but cannot be realised is left out of the chain as if it were off: no slot,
// not counted, and the host is told which filter. That is a stored type or location outside the
// table (from a damaged setup; the dialog never offers one), a frequency outside the open interval
// from 0 to the slow loop's Nyquist frequency, a Q that is not positive, or coefficients that are
// not finite or do not fit their registers. Such a section would hold arbitrary, zero or unstable
// coefficients, and in the chain it would block or corrupt the speed or current reference; without
// it the loop runs unfiltered.
#pragma once

#include "MC_Setup.h"

#include <array>
#include <span>
#include <string_view>
#include <vector>

namespace pelmora {

// The working values of one section, y = b0·x + b1·x₁ + b2·x₂ − a1·y₁ − a2·y₂. Once quantised,
// the five coefficients are register counts, each standing for count · sf / 2^31, and sf is the
// section's power-of-two scale.
struct BiquadSection {
    double b0 = 0.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
    double sf = 1.0;
};

struct BiquadFilterType {
    int number;
    std::string_view name;
    bool offered;  // shown in the filters dialog
};

class BiquadFilterChain {
public:
    static constexpr int kFilterCount = 3;
    static constexpr int kSlotCount = 3;
    static constexpr int kLocationCount = 3;
    static constexpr int kTypeCount = 10;

    enum Type : int {
        kLowPass1 = 0,
        kLowPass2 = 1,
        kNotch = 2,
        kHighPass = 3,
        kBandPass = 4,
        kPeak = 5,
        kLowShelf = 6,
        kHighShelf = 7,
        kLeadLag1 = 8,
        kLeadLag2 = 9,
    };

    BiquadFilterChain();

    // The whole type table, by number.
    std::span<const BiquadFilterType> Types() const { return m_types; }
    // The types the user may choose, in table order.
    std::vector<BiquadFilterType> ListFilterTypes() const;

    // Computes every section register and the three chain counts from the filter parameters.
    // Looks up Ts_S, then each filter's six parameters, the eighteen section registers and the
    // three counts; at the first one missing it returns 0 and changes nothing. Returns 1 when every
    // filter that is on got its section, 0 when one was left out (the rest of the chain is written).
    // Allocates nothing unless it has something to report.
    int ComputeBiquadChain(CMC_Setup& setup);

    // Sends the chain counts and then each slot's six registers to the drive, skipping registers
    // the setup lacks. Returns 1 when the drive took every one that exists.
    int WriteBiquadChain(CMC_Setup& setup) const;

    // Designs one filter at the slow loop's sampling period and leaves its quantised, DC-corrected
    // section in the working values. f1_Hz is the frequency (the lead frequency of a lead-lag),
    // f2_Hz the lag frequency of a lead-lag, q the quality factor of the other types. False when the
    // filter cannot be realised; the working values are then meaningless.
    bool ComputeBiquadSection(int type, double f1_Hz, double q, double f2_Hz, double period_s);

    // Bilinear design at the normalised frequency f (cycles per sample) with quality factor q, or
    // for a lead-lag with the normalised lag frequency in q. The peak and shelves (not offered) are
    // designed at 0 dB gain, where they pass everything unchanged. False, working values untouched,
    // for a type outside the table.
    bool DesignBiquad(int type, double f, double q);

    // Chooses the scale sf and turns the working coefficients into register counts. False, working
    // values untouched, when a coefficient or the scale would not be finite.
    bool QuantiseBiquad();

    // Corrects the quantised b0 so that the section's DC gain is exactly dcGain (0 or 1), the
    // rounding of five coefficients otherwise leaving it a count or two off. Sections are corrected
    // to 1, except the high and band pass, whose DC gain is 0: forcing 1 on them would turn them
    // into nearly flat sections. Left as it is when the corrected b0 would not fit a 32-bit register.
    void CorrectDcGain(double dcGain);

    const BiquadSection& Section() const { return m_section; }
    BiquadSection& Section() { return m_section; }

private:
    std::array<BiquadFilterType, kTypeCount> m_types;
    BiquadSection m_section;
};

}  // namespace pelmora
