#include "conversions.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace kornat {

double lambdaValue(RawSample raw) { return static_cast<double>(raw) * 0.01 / 1.42; }

double afrValue(double lambda, double fuelFactor) { return lambda * fuelFactor * 100.0; }

double traceLevel(RawSample raw) { return static_cast<double>(raw) * 1.75; }

double traceY(RawSample raw) { return traceLevel(raw) / 100.0; }

double sweepX(int sampleCounter) { return static_cast<double>(sampleCounter) * 0.1; }

namespace {

// printf's fixed notation rounds the stored double to the nearest, which is the rounding the
// readouts promise. Only the separator is the locale's: QLocale::toString would also bring in
// the locale's digits and group separators, which the readouts never show.
QString localised(const char* text, int written, const QLocale& locale) {
    if (written < 0) {
        return QStringLiteral("-");
    }
    QString result = QString::fromLatin1(text, written);
    result.replace(QLatin1Char('.'), locale.decimalPoint());
    return result;
}

// Large enough for any finite double in fixed notation, so the text is never cut.
using TextBuffer = std::array<char, 400>;

}  // namespace

QString lambdaText(double lambda, const QLocale& locale) {
    if (!std::isfinite(lambda)) {
        return QStringLiteral("-");  // never produced by the conversions; a dash beats a wrong figure
    }
    TextBuffer text{};
    const int written = std::snprintf(text.data(), text.size(), "%1.2f", lambda);
    return localised(text.data(), written, locale);
}

QString afrText(double afr, const QLocale& locale) {
    if (!std::isfinite(afr)) {
        return QStringLiteral("-");
    }
    TextBuffer text{};
    const int written = std::snprintf(text.data(), text.size(), "%2.1f", afr);
    return localised(text.data(), written, locale);
}

}  // namespace kornat
