#include "GainEncoding.h"

#include "Limits.h"
#include "Steps.h"

#include <algorithm>
#include <cmath>

namespace pelmora {

Q15Value EncodeQ15(double gain) {
    if (gain <= 1.0) return {gain * kQ15One, 0.0};
    const double shift = std::ceil(std::log(gain) / std::log(2.0));
    return {gain * kQ15One / std::exp2(shift), shift};
}

double DecodeQ15(double mantissa, double shift) { return mantissa * std::exp2(shift) / kQ15One; }

int EncodeGainShift(CMC_Setup& setup, const Q15Gain& gain) {
    Reads find(setup);
    CMC_Parameter* value = find(gain.gain);
    CMC_Parameter* shift = find(gain.shift);
    if (!find.ok()) return 0;
    return WriteBase(*shift, EncodeQ15(value->GetValueInBaseUnit()).shift);
}

int EncodeGainMantissa(CMC_Setup& setup, const Q15Gain& gain) {
    Reads find(setup);
    CMC_Parameter* value = find(gain.gain);
    CMC_Parameter* mantissa = find(gain.mantissa);
    if (!find.ok()) return 0;
    return WriteBase(*mantissa, EncodeQ15(value->GetValueInBaseUnit()).mantissa);
}

int DecodeGain(CMC_Setup& setup, const Q15Gain& gain) {
    Reads find(setup);
    CMC_Parameter* target = find(gain.gain);
    CMC_Parameter* mantissa = find(gain.mantissa);
    CMC_Parameter* shift = find(gain.shift);
    if (!find.ok()) return 0;
    const double value = DecodeQ15(mantissa->GetValueInBaseUnit(), shift->GetValueInBaseUnit());
    if (!std::isfinite(value)) return 0;
    if (!SetParameterRange(*target, 0.0, kMaxScaledGain)) return 0;
    return WriteBase(*target, value);
}

AccelFeedforwardValue EncodeAccelFeedforward(double gain, int shift) {
    const int low = std::min(shift, kMaxAccelFeedforwardShift);
    const int high = shift > kMaxAccelFeedforwardShift ? shift - kMaxAccelFeedforwardShift : 0;
    return {gain * kQ15One / std::exp2(shift), static_cast<double>(low), static_cast<double>(high)};
}

}  // namespace pelmora
