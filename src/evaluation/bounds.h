#pragma once
// The one rule by which a parameter value is held to the bounds of its PARM_INT
// record: the upper bound is applied first, the lower one second (so that for
// crossed bounds the lower one wins). The objective stores values this way, and
// whatever must know the value the model saw applies the same function.
inline double clampToBounds(double v, double minimum, double maximum) {
    if (v >= maximum)
        v = maximum;
    if (v <= minimum)
        v = minimum;
    return v;
}
