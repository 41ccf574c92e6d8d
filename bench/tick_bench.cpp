// What one sample costs on the UI thread: the conversions, the two readout texts and the tick's
// bookkeeping, with a source and a view that do nothing.
#include <benchmark/benchmark.h>

#include "conversions.h"
#include "sampling_cycle.h"

namespace {

class InstantSource : public kornat::SampleSource {
public:
    bool adapterClaimed() const override { return true; }
    bool readOutstanding() const override { return false; }
    std::size_t featureReportLength() const override { return kornat::kReportBufferSize; }
    void startFeatureRead(std::vector<std::uint8_t> report, std::size_t, ReadDone done) override {
        report[kornat::kRawSampleIndex] = static_cast<std::uint8_t>(++m_raw);
        done(kornat::FeatureRead{std::move(report), true});
    }
    void showDisconnected() override {}

private:
    std::uint8_t m_raw = 0;
};

class NullView : public kornat::SampleView {
public:
    void showLambda(const QString& text) override { benchmark::DoNotOptimize(text.size()); }
    void showAfr(const QString& text) override { benchmark::DoNotOptimize(text.size()); }
    void addTracePoint(double x, double y, std::uint32_t) override {
        benchmark::DoNotOptimize(x + y);
    }
    void clearTrace() override {}
};

void BM_Tick(benchmark::State& state) {
    InstantSource source;
    NullView view;
    kornat::SamplingCycle cycle(source, view, QLocale(QLocale::Russian));
    cycle.setFuelFactor(0.147);
    for (auto _ : state) {
        cycle.tick();
    }
}
BENCHMARK(BM_Tick);

void BM_ReadoutTexts(benchmark::State& state) {
    const QLocale locale(QLocale::Russian);
    std::uint8_t raw = 0;
    for (auto _ : state) {
        const double lambda = kornat::lambdaValue(++raw);
        benchmark::DoNotOptimize(kornat::lambdaText(lambda, locale));
        benchmark::DoNotOptimize(kornat::afrText(kornat::afrValue(lambda, 0.147), locale));
    }
}
BENCHMARK(BM_ReadoutTexts);

}  // namespace
