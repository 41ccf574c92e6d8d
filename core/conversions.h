#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>

namespace kornat {

// Byte 3 of the adapter's feature report: the only measured quantity.
using RawSample = std::uint8_t;

// Lambda = raw x 0.01 / 1.42, multiplied first and divided second, so raw 142 is exactly 1.00
// as the adapter defines it.
double lambdaValue(RawSample raw);

// Air/fuel ratio = lambda x fuel factor x 100; a factor of 0.0 (no fuel polled yet) gives 0.
double afrValue(double lambda, double fuelFactor);

// Trace level = raw x 1.75; the chart plots it divided by 100, so 0 .. 4.4625 fits the fixed 0 .. 5 axis.
double traceLevel(RawSample raw);

// Y of the trace point for a raw sample.
double traceY(RawSample raw);

// X of a trace point: one sample every 100 ms, so the counter times 0.1 is seconds into the sweep.
double sweepX(int sampleCounter);

// "%1.2f" and "%2.1f" with the locale's decimal separator, as the readouts show them.
QString lambdaText(double lambda, const QLocale& locale = QLocale());
QString afrText(double afr, const QLocale& locale = QLocale());

}  // namespace kornat
