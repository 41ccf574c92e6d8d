#pragma once

#include <QLocale>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kornat {

// The sweep restarts once the counter has passed this.
inline constexpr int kSweepLimit = 100;
// Report ID byte plus the adapter's eight report bytes.
inline constexpr std::size_t kReportBufferSize = 9;
// Linux hidraw moves at most 4096 bytes per report (HID_MAX_BUFFER_SIZE), plus the report ID byte.
inline constexpr std::size_t kMaxFeatureReportLength = 4097;
// The raw sample's place in the feature report, report ID byte included.
inline constexpr std::size_t kRawSampleIndex = 3;
inline constexpr std::uint32_t kTraceColour = 0x00FF00;  // lime

struct FeatureRead {
    std::vector<std::uint8_t> report;  // report ID in byte 0, then the report bytes
    bool ok = false;
};

// What a tick needs from the adapter link.
class SampleSource {
public:
    using ReadDone = std::function<void(FeatureRead)>;

    virtual ~SampleSource() = default;

    virtual bool adapterClaimed() const = 0;
    // True while a read started for the claimed adapter has not completed yet.
    virtual bool readOutstanding() const = 0;
    // The adapter's declared feature report length, report ID byte included; 0 when it has none.
    virtual std::size_t featureReportLength() const = 0;
    // Reads `length` bytes of the feature report whose ID is report[0] into `report`. `done` runs on
    // the caller's (UI) thread, possibly before this returns; it is not called when the adapter was
    // released meanwhile, since that sample belongs to a device that is gone.
    virtual void startFeatureRead(std::vector<std::uint8_t> report, std::size_t length,
                                  ReadDone done) = 0;
    virtual void showDisconnected() = 0;
};

// What a tick shows.
class SampleView {
public:
    virtual ~SampleView() = default;

    virtual void showLambda(const QString& text) = 0;
    virtual void showAfr(const QString& text) = 0;
    virtual void addTracePoint(double x, double y, std::uint32_t rgb) = 0;
    virtual void clearTrace() = 0;
};

// One sample per tick: read the claimed adapter's feature report, show lambda and the air/fuel
// ratio, append a trace point and wrap the sweep. The read may complete later (it runs off the UI
// thread); the rest of the tick then runs when it does.
//
// Threads: every member runs on the UI thread; the source delivers completions there.
class SamplingCycle {
public:
    SamplingCycle(SampleSource& source, SampleView& view, const QLocale& locale = QLocale());

    SamplingCycle(const SamplingCycle&) = delete;
    SamplingCycle& operator=(const SamplingCycle&) = delete;

    void tick();

    // The checked fuel's factor; 0.0 until the first fuel poll stores one.
    void setFuelFactor(double factor) { m_fuelFactor = factor; }
    double fuelFactor() const { return m_fuelFactor; }

    int sampleCounter() const { return m_sampleCounter; }
    const std::vector<std::uint8_t>& reportBuffer() const { return m_reportBuffer; }

private:
    void complete(FeatureRead read);

    SampleSource& m_source;
    SampleView& m_view;
    QLocale m_locale;
    std::vector<std::uint8_t> m_reportBuffer = std::vector<std::uint8_t>(kReportBufferSize, 0);
    int m_sampleCounter = 0;
    double m_fuelFactor = 0.0;
};

}  // namespace kornat
