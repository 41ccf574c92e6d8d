// The adapter link on the real code path: hidapi's hidraw backend, libudev, the kernel's FUSE
// and ioctl plumbing, our controller and its threads, against emulated adapters. Runs inside
// the emulated world (see tests/CMakeLists.txt), which starts with no device.
#include <gtest/gtest.h>

#include <QLocale>
#include <QSignalSpy>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "adapter_link.h"
#include "control_client.h"
#include "hid_backend.h"
#include "hid_controller.h"
#include "fake_backend.h"
#include "qt_test_support.h"
#include "recorders.h"
#include "sampling_cycle.h"

namespace kornat::testing {
namespace {

class WorldTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control.connected())
            << "run inside the emulated world (emulated-adapter -- <this test>): "
            << control.error();
    }

    void TearDown() override {
        link.reset();
        cycle.reset();
        controller.reset();
        for (const auto& name : added) {
            control.remove(name);
        }
    }

    void add(const std::string& name, std::uint16_t vid = kAdapterVendorId,
             std::uint16_t pid = kAdapterProductId, std::vector<std::uint8_t> descriptor = {}) {
        EmulatedDeviceConfig device;
        device.name = name;
        device.vid = vid;
        device.pid = pid;
        device.descriptor = std::move(descriptor);
        ASSERT_TRUE(control.add(device)) << control.error();
        added.push_back(name);
    }

    void start() {
        controller = std::make_unique<hid::HidController>(hid::makeHidapiBackend());
        // The controller's own one-second check, made quicker so the tests are.
        controller->setPollInterval(50);
        link = std::make_unique<AdapterLink>(*controller, status);
        QObject::connect(controller.get(), &hid::HidController::deviceChange, [this] {
            ++changes;
            link->HIDDeviceChange();
        });
        cycle = std::make_unique<SamplingCycle>(*link, view, QLocale::c());
        cycle->setFuelFactor(0.147);
    }

    bool waitForChanges(int count) { return waitFor([&] { return changes >= count; }); }

    bool sample() {
        const int counter = cycle->sampleCounter();
        const std::size_t points = view.ys.size();
        cycle->tick();
        return waitFor(
            [&] { return cycle->sampleCounter() != counter || view.ys.size() != points; });
    }

    EmulatedAdapterStats stats(const std::string& name) {
        auto s = control.stats(name);
        EXPECT_TRUE(s.has_value()) << control.error();
        return s.value_or(EmulatedAdapterStats{});
    }

    EmulatedAdapterControl control;
    std::vector<std::string> added;
    RecordingStatus status;
    RecordingView view;
    std::unique_ptr<hid::HidController> controller;
    std::unique_ptr<AdapterLink> link;
    std::unique_ptr<SamplingCycle> cycle;
    int changes = 0;
};

TEST_F(WorldTest, AdapterPresentAtStartIsClaimedAndRead) {
    add("adapter");
    add("keyboard", 0x046D, 0xC31C);
    add("sibling", 0x0010, 0x0002);
    add("stranger", 0x0011, 0x0001);
    ASSERT_TRUE(control.setRaw("adapter", 142));
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(link->adapterClaimed()) << status.problem.toStdString();
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
    EXPECT_EQ(link->adapterDevice()->featureReportLength(), 9u);
    for (const char* other : {"keyboard", "sibling", "stranger"}) {
        EXPECT_EQ(stats(other).opens, 0u) << other << " is left alone";
    }

    // One read per tick, neither skipped nor doubled.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(sample());
    }
    EXPECT_EQ(stats("adapter").featureReads, 20u);
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_DOUBLE_EQ(view.ys.back(), 142 * 1.75 / 100);
}

TEST_F(WorldTest, UnplugStopsReadingAndReplugReclaims) {
    add("adapter");
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(sample());
    EXPECT_GE(stats("adapter").opens, 1u);

    ASSERT_TRUE(control.unplug("adapter"));
    ASSERT_TRUE(waitFor([&] { return !link->adapterClaimed(); }));
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected);
    const auto reads = stats("adapter").featureReads;
    const int counter = cycle->sampleCounter();
    cycle->tick();
    cycle->tick();
    drainEvents();
    EXPECT_EQ(cycle->sampleCounter(), counter);
    EXPECT_EQ(stats("adapter").featureReads, reads);
    EXPECT_TRUE(waitFor([&] { return stats("adapter").opens == 0; })) << "released";

    ASSERT_TRUE(control.setRaw("adapter", 100));
    ASSERT_TRUE(control.plug("adapter"));
    ASSERT_TRUE(waitFor([&] { return link->adapterClaimed(); }));
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
    ASSERT_TRUE(sample());
    EXPECT_EQ(view.lambda, "0.70");
    EXPECT_EQ(cycle->sampleCounter(), counter + 1);
}

TEST_F(WorldTest, FailedReadsShowDisconnectedAndPlotZero) {
    add("adapter");
    ASSERT_TRUE(control.setRaw("adapter", 142));
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(control.failReads("adapter", 2, "EIO"));
    ASSERT_TRUE(sample());
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected);
    EXPECT_EQ(view.lambda, "0.00");
    EXPECT_EQ(view.ys.back(), 0.0);
    ASSERT_TRUE(sample());
    ASSERT_TRUE(sample());
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected) << "until an enumeration finds it";
}

TEST_F(WorldTest, StalledAdapterNeverBlocksTheUiThread) {
    add("adapter");
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(control.stall("adapter", 30));
    cycle->tick();
    ASSERT_TRUE(link->readOutstanding());
    // The event loop keeps running while the device sits on the read.
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    ASSERT_TRUE(waitFor([&] { return ran; }));
    EXPECT_TRUE(link->readOutstanding());
    // The deadline reports it.
    ASSERT_TRUE(waitFor([&] { return status.last() == AdapterStatus::Disconnected; }));
    EXPECT_EQ(view.ys.back(), 0.0);

    // Closing does not wait for the device: the controller goes while the read still hangs.
    controller.reset();
    link.reset();
    cycle.reset();
    EXPECT_EQ(stats("adapter").featureReads, 0u) << "the stalled read is still unanswered";
}

TEST_F(WorldTest, LongFeatureReportIsReadWholeWithoutOverflow) {
    add("adapter", kAdapterVendorId, kAdapterProductId, kLongFeatureDescriptor);
    std::vector<std::uint8_t> feature(64, 0xA5);
    feature[2] = 142;  // byte 3 of the buffer
    ASSERT_TRUE(control.setFeature("adapter", feature));
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(link->adapterClaimed());
    EXPECT_EQ(link->adapterDevice()->featureReportLength(), 65u);
    ASSERT_TRUE(sample());
    EXPECT_EQ(view.lambda, "1.00");
    ASSERT_EQ(cycle->reportBuffer().size(), 65u);
    EXPECT_EQ(cycle->reportBuffer()[64], 0xA5);
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
}

TEST_F(WorldTest, InputReportsAreDrained) {
    add("adapter");
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(link->adapterClaimed());
    QSignalSpy data(controller.get(), &hid::HidController::deviceData);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(control.sendInput("adapter", {1, 2, 3, 4, 5, 6, 7, static_cast<std::uint8_t>(i)}))
            << control.error();
    }
    ASSERT_TRUE(waitFor([&] { return data.count() >= 5; }));
    // Every open file gets its own copy, as with hidraw; the reader's copies are all read. The
    // feature handle's copies wait in its bounded queue, as they would in the kernel's.
    EXPECT_EQ(stats("adapter").inputRead, 5u);
    EXPECT_EQ(data.last()[1].value<std::uint8_t>(), 0) << "no report IDs: ID 0";
    EXPECT_EQ(data.last()[2].toByteArray(), QByteArray("\x01\x02\x03\x04\x05\x06\x07\x04", 8));
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
}

TEST_F(WorldTest, TwoAdaptersAreBothClaimedAndTheLastIsPolled) {
    add("first");
    add("second");
    ASSERT_TRUE(control.setRaw("first", 10));
    ASSERT_TRUE(control.setRaw("second", 142));
    start();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_GE(stats("first").opens, 1u);
    EXPECT_GE(stats("second").opens, 1u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sample());
    }
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_EQ(stats("first").featureReads, 0u);
    EXPECT_EQ(stats("second").featureReads, 3u);
}

TEST_F(WorldTest, PlugAfterStartIsNoticedWithoutAUdevDaemon) {
    start();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_FALSE(link->adapterClaimed());
    EXPECT_EQ(status.last(), AdapterStatus::NotConnected);
    add("adapter");
    ASSERT_TRUE(waitFor([&] { return link->adapterClaimed(); }));
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
}

}  // namespace
}  // namespace kornat::testing
