// Signals stored in the code image: a u32 point count n, then n points
// {u32 time in ms, f32 value} in non-decreasing time order. The signal
// playback block and the signal scaling function read them here, through the
// checked image view: a signal whose points do not lie inside the image, or
// that has fewer than two points, is absent.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

struct Q4SignalView {
    u32 offset = 0;    // of the point count in the code image; 0: absent
    u32 points = 0;
    u32 duration = 0;  // time of the last point
};

// Signal n of the code image (numbered from 1); absent when missing or broken.
Q4SignalView Q4Signal_Find(const Q4Code& code, u32 n);
// The signal whose point count lies at offset, checked again (the image may
// have changed since it was found); absent when it no longer fits.
Q4SignalView Q4Signal_At(const Q4Code& code, u32 offset);

// Value at time t (ms): the first value at or before the first point, the
// last beyond the last, the value of the last of several points at an exact
// time, else linear between the two points around t (a segment of no length
// gives its first value). 0 for an absent signal.
float Q4Signal_Value(const Q4Code& code, const Q4SignalView& s, u32 t);
// Value of the last point (0 for an absent signal).
float Q4Signal_LastValue(const Q4Code& code, const Q4SignalView& s);
