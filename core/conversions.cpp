#include "conversions.h"

#include <array>
#include <cmath>
#include <charconv>
#include <system_error>

namespace kornat {

double lambdaValue(RawSample raw) { return static_cast<double>(raw) * 0.01 / 1.42; }

double afrValue(double lambda, double fuelFactor) { return lambda * fuelFactor * 100.0; }

double traceLevel(RawSample raw) { return static_cast<double>(raw) * 1.75; }

double traceY(RawSample raw) { return traceLevel(raw) / 100.0; }

double sweepX(int sampleCounter) { return static_cast<double>(sampleCounter) * 0.1; }

namespace {

// std::to_chars rounds the stored double to the nearest in fixed notation, which is the rounding
// the readouts promise, and unlike printf it never follows the C library's LC_NUMERIC. Only the
// separator is the locale's: QLocale::toString would also bring in the locale's digits and group
// separators, which the readouts never show.
QString fixedText(double value, int decimals, const QLocale& locale) {
    if (!std::isfinite(value)) {
        return QStringLiteral("-");  // never produced by the conversions; a dash beats a wrong figure
    }
    // Large enough for any finite double in fixed notation, so the text is never cut.
    std::array<char, 400> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value,
                                            std::chars_format::fixed, decimals);
    if (error != std::errc()) {
        return QStringLiteral("-");
    }
    QString result = QString::fromLatin1(text.data(), end - text.data());
    result.replace(QLatin1Char('.'), locale.decimalPoint());
    return result;
}

}  // namespace

// "%1.2f": the width of 1 never pads, the shortest result being 0.00.
QString lambdaText(double lambda, const QLocale& locale) { return fixedText(lambda, 2, locale); }

// "%2.1f": the width of 2 never pads either, the shortest result being 0.0.
QString afrText(double afr, const QLocale& locale) { return fixedText(afr, 1, locale); }

}  // namespace kornat
