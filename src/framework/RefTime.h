// RefTime: exact conversions between a track's time units and reference time
// (100 ns units), and the scaling of counts between two rates, in 64-bit
// integers. No factor is rounded before it is used, so a long track loses
// nothing at its end and stamps do not drift.
//
// Rounding: to the nearest, halves away from zero. Products that cannot be
// represented saturate at the 64-bit limits. Rates and time scales must be
// positive and below 2^31; other values give 0.
//
// Consecutive samples stay gap-free when the start and the end of each are
// converted and the duration is taken as their difference; converting
// durations and adding them up would accumulate the rounding.
#pragma once

#include <windows.h>
#include <strmif.h>

constexpr REFERENCE_TIME kRefTimePerSecond = 10000000;

// value x num / den, rounded to the nearest.
LONGLONG ScaleRounded(LONGLONG value, LONGLONG num, LONGLONG den);

// num / den rounded to the nearest, for any den > 0 (0 otherwise).
LONGLONG DivideRounded(LONGLONG num, LONGLONG den);

// Track units at timeScale units per second, in 100 ns units.
REFERENCE_TIME UnitsToRefTime(LONGLONG units, LONG timeScale);

// The track unit whose stamp interval holds rt: the largest u with
// UnitsToRefTime(u, timeScale) <= rt. So a seek to a sample's own stamp
// lands on that sample, and one a hair before it on the sample before.
LONGLONG RefTimeToUnits(REFERENCE_TIME rt, LONG timeScale);
