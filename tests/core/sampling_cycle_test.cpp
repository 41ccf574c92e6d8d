#include "sampling_cycle.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fuel.h"

namespace kornat {
namespace {

// An adapter whose reads complete at once (or are held back for the test to complete).
class FakeSource : public SampleSource {
public:
    bool claimed = true;
    std::size_t length = kReportBufferSize;
    std::uint8_t raw = 142;
    bool fail = false;
    bool failedReadWrites = false;  // a failing device that still scribbled into the buffer
    bool holdReads = false;
    int reads = 0;
    int disconnects = 0;
    std::vector<std::uint8_t> lastRequest;
    std::size_t lastLength = 0;
    std::optional<ReadDone> held;
    std::vector<std::uint8_t> heldReport;

    bool adapterClaimed() const override { return claimed; }
    bool readOutstanding() const override { return held.has_value(); }
    std::size_t featureReportLength() const override { return length; }
    void startFeatureRead(std::vector<std::uint8_t> report, std::size_t len,
                          ReadDone done) override {
        ++reads;
        lastRequest = report;
        lastLength = len;
        if (!fail || failedReadWrites) {
            if (report.size() > kRawSampleIndex && len > kRawSampleIndex) {
                report[kRawSampleIndex] = raw;
            }
        }
        if (holdReads) {
            held = std::move(done);
            heldReport = std::move(report);
            return;
        }
        done(FeatureRead{std::move(report), !fail});
    }
    void release() {
        auto done = std::move(*held);
        held.reset();
        done(FeatureRead{std::move(heldReport), !fail});
    }
    void showDisconnected() override { ++disconnects; }
};

struct Point {
    double x;
    double y;
    std::uint32_t rgb;
};

class FakeView : public SampleView {
public:
    std::string lambda = "0";
    std::string afr = "0";
    std::vector<Point> trace;
    int clears = 0;

    void showLambda(const QString& text) override { lambda = text.toStdString(); }
    void showAfr(const QString& text) override { afr = text.toStdString(); }
    void addTracePoint(double x, double y, std::uint32_t rgb) override {
        trace.push_back({x, y, rgb});
    }
    void clearTrace() override {
        trace.clear();
        ++clears;
    }
};

class SamplingCycleTest : public ::testing::Test {
protected:
    FakeSource source;
    FakeView view;
    SamplingCycle cycle{source, view, QLocale::c()};
};

TEST_F(SamplingCycleTest, NoAdapterLeavesEverythingUntouched) {
    source.claimed = false;
    for (int i = 0; i < 5; ++i) {
        cycle.tick();
    }
    EXPECT_EQ(source.reads, 0);
    EXPECT_EQ(cycle.sampleCounter(), 0);
    EXPECT_EQ(view.lambda, "0");
    EXPECT_EQ(view.afr, "0");
    EXPECT_TRUE(view.trace.empty());
    EXPECT_EQ(source.disconnects, 0);
}

TEST_F(SamplingCycleTest, OneTickReadsReport0AndShowsTheSample) {
    cycle.setFuelFactor(fuelFactorOf(Fuel::Petrol));
    cycle.tick();
    ASSERT_EQ(source.lastRequest.size(), kReportBufferSize);
    EXPECT_EQ(source.lastRequest, std::vector<std::uint8_t>(9, 0)) << "byte 0 asks for report 0";
    EXPECT_EQ(source.lastLength, 9u);
    EXPECT_EQ(cycle.reportBuffer()[kRawSampleIndex], 142);
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_EQ(view.afr, "14.7");
    ASSERT_EQ(view.trace.size(), 1u);
    EXPECT_DOUBLE_EQ(view.trace[0].x, 0.1);
    EXPECT_DOUBLE_EQ(view.trace[0].y, 142 * 1.75 / 100);
    EXPECT_EQ(view.trace[0].rgb, 0x00FF00u);
    EXPECT_EQ(source.disconnects, 0);
}

TEST_F(SamplingCycleTest, SweepPositionsAndTheClearAt101) {
    // The first sweep runs from 0.1, every later one from 0.0; the point at 10.1 is added and
    // cleared in the same tick.
    for (int tick = 1; tick <= 3; ++tick) {
        cycle.tick();
        EXPECT_DOUBLE_EQ(view.trace.back().x, tick * 0.1);
    }
    while (cycle.sampleCounter() < kSweepLimit) {
        cycle.tick();
    }
    EXPECT_EQ(view.trace.size(), 100u);
    EXPECT_DOUBLE_EQ(view.trace.back().x, 10.0);
    EXPECT_EQ(view.clears, 0);

    cycle.tick();  // counter 101
    EXPECT_EQ(view.clears, 1);
    EXPECT_TRUE(view.trace.empty());
    EXPECT_EQ(cycle.sampleCounter(), -1);

    cycle.tick();
    ASSERT_EQ(view.trace.size(), 1u);
    EXPECT_DOUBLE_EQ(view.trace[0].x, 0.0);

    // A later sweep spans 102 ticks: counter 0 to 101.
    int ticks = 1;
    while (view.clears == 1) {
        cycle.tick();
        ++ticks;
    }
    EXPECT_EQ(ticks, 102);
}

TEST_F(SamplingCycleTest, FailedReadsShowDisconnectedAndStillCount) {
    struct Case {
        const char* name;
        bool writes;
        const char* lambda;
        double y;
    };
    const Case cases[] = {
        {"clean failure plots Y 0", false, "0.00", 0.0},
        {"failure that wrote into the buffer uses what is there", true, "1.00", 142 * 1.75 / 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSource src;
        FakeView v;
        SamplingCycle cyc(src, v, QLocale::c());
        cyc.setFuelFactor(0.147);
        src.fail = true;
        src.failedReadWrites = c.writes;
        cyc.tick();
        EXPECT_EQ(src.disconnects, 1);
        EXPECT_EQ(cyc.sampleCounter(), 1);
        EXPECT_EQ(v.lambda, c.lambda);
        ASSERT_EQ(v.trace.size(), 1u);
        EXPECT_DOUBLE_EQ(v.trace[0].y, c.y);
        // The adapter stays claimed and is read again; success does not un-report the failure.
        src.fail = false;
        cyc.tick();
        EXPECT_EQ(src.reads, 2);
        EXPECT_EQ(src.disconnects, 1);
        EXPECT_EQ(v.lambda, "1.00");
    }
}

TEST_F(SamplingCycleTest, FuelFactorIsReadAtEachTick) {
    cycle.tick();
    EXPECT_EQ(view.afr, "0.0") << "before the first fuel poll";
    cycle.setFuelFactor(fuelFactorOf(Fuel::Methanol));
    cycle.tick();
    EXPECT_EQ(view.afr, "6.4");
    EXPECT_EQ(view.lambda, "1.00");
}

TEST_F(SamplingCycleTest, AdapterComingAndGoingDoesNotResetTheSweep) {
    for (int i = 0; i < 40; ++i) {
        cycle.tick();
    }
    source.claimed = false;
    cycle.tick();
    cycle.tick();
    EXPECT_EQ(cycle.sampleCounter(), 40);
    EXPECT_EQ(view.trace.size(), 40u);
    source.claimed = true;
    cycle.tick();
    EXPECT_EQ(cycle.sampleCounter(), 41);
    EXPECT_DOUBLE_EQ(view.trace.back().x, 4.1);
}

TEST_F(SamplingCycleTest, TickWhileAReadIsOutstandingDoesNothing) {
    source.holdReads = true;
    cycle.tick();
    EXPECT_EQ(source.reads, 1);
    EXPECT_TRUE(view.trace.empty()) << "the rest of the tick waits for the read";
    cycle.tick();
    cycle.tick();
    EXPECT_EQ(source.reads, 1);
    EXPECT_EQ(cycle.sampleCounter(), 0);
    source.release();
    EXPECT_EQ(cycle.sampleCounter(), 1);
    EXPECT_EQ(view.lambda, "1.00");
    ASSERT_EQ(view.trace.size(), 1u);
    cycle.tick();
    EXPECT_EQ(source.reads, 2);
}

TEST_F(SamplingCycleTest, DeclaredLengthSizesTheBuffer) {
    struct Case {
        std::size_t declared;
        std::size_t bufferSize;
        std::size_t requested;
        const char* lambda;
    };
    const Case cases[] = {
        {9, 9, 9, "1.00"},
        {65, 65, 65, "1.00"},  // a longer report is read whole, byte 3 as usual
        {3, 9, 3, "0.00"},     // too short to carry byte 3
        {0, 9, 0, "0.00"},     // none declared: the source fails it
        {100000, kMaxFeatureReportLength, kMaxFeatureReportLength, "1.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declared);
        FakeSource src;
        FakeView v;
        SamplingCycle cyc(src, v, QLocale::c());
        src.length = c.declared;
        cyc.tick();
        EXPECT_EQ(src.lastRequest.size(), c.bufferSize);
        EXPECT_EQ(src.lastLength, c.requested);
        EXPECT_EQ(v.lambda, c.lambda);
    }
}

}  // namespace
}  // namespace kornat
