#include "sampling_cycle.h"

#include <algorithm>
#include <utility>

#include "conversions.h"

namespace kornat {

SamplingCycle::SamplingCycle(SampleSource& source, SampleView& view, const QLocale& locale)
    : m_source(source), m_view(view), m_locale(locale) {}

void SamplingCycle::tick() {
    if (!m_source.adapterClaimed() || m_source.readOutstanding()) {
        return;
    }
    const std::size_t declared = m_source.featureReportLength();
    // The buffer holds at least the nine bytes the adapter defines and, for an adapter that
    // declares a longer report, the whole report, so the device never writes past it.
    const std::size_t size = std::clamp(declared, kReportBufferSize, kMaxFeatureReportLength);
    // All zero: byte 0 asks for report 0, and a read that writes nothing leaves raw 0.
    std::vector<std::uint8_t> request(size, 0);
    m_source.startFeatureRead(std::move(request), std::min(declared, size),
                              [this](FeatureRead read) { complete(std::move(read)); });
}

void SamplingCycle::complete(FeatureRead read) {
    m_reportBuffer = std::move(read.report);
    if (!read.ok) {
        m_source.showDisconnected();
    }
    ++m_sampleCounter;
    const RawSample raw =
        m_reportBuffer.size() > kRawSampleIndex ? m_reportBuffer[kRawSampleIndex] : RawSample{0};
    const double lambda = lambdaValue(raw);
    m_view.showLambda(lambdaText(lambda, m_locale));
    m_view.showAfr(afrText(afrValue(lambda, m_fuelFactor), m_locale));
    m_view.addTracePoint(sweepX(m_sampleCounter), traceY(raw), kTraceColour);
    if (m_sampleCounter > kSweepLimit) {
        m_view.clearTrace();
        m_sampleCounter = -1;
    }
}

}  // namespace kornat
