// Checks the emulated adapter from the inside, the way the program sees it: through
// hidapi's hidraw backend. Run by emulated-adapter (see tools/selftest.cmake).

#include "control_client.h"

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned short kVid = 0x0010;
constexpr unsigned short kPid = 0x0001;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> pathsOf(unsigned short vid, unsigned short pid)
{
    std::vector<std::string> out;
    hid_device_info* list = hid_enumerate(vid, pid);
    for (auto* d = list; d; d = d->next) out.emplace_back(d->path ? d->path : "");
    hid_free_enumeration(list);
    return out;
}

struct Handle {
    hid_device* dev = nullptr;
    explicit Handle(const std::string& path) : dev(hid_open_path(path.c_str())) {}
    ~Handle()
    {
        if (dev) hid_close(dev);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void close()
    {
        if (dev) hid_close(dev);
        dev = nullptr;
    }
};

class Emulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ctl.connected()) << ctl.error() << " (this test runs under emulated-adapter)";
        // Every test starts from a plugged adapter with a plain constant sample.
        ctl.plug("adapter");
        ASSERT_TRUE(ctl.setRaw("adapter", 142)) << ctl.error();
        ASSERT_TRUE(ctl.stall("adapter", 0)) << ctl.error();
        ASSERT_TRUE(ctl.failReads("adapter", 0, "EIO")) << ctl.error();
    }

    std::string adapterPath()
    {
        const auto paths = pathsOf(kVid, kPid);
        return paths.size() == 1 ? paths[0] : std::string();
    }

    EmulatedAdapterControl ctl;
};

TEST_F(Emulator, EnumerationListsTheAdapter)
{
    hid_device_info* list = hid_enumerate(kVid, kPid);
    ASSERT_NE(list, nullptr) << "hid_enumerate found no adapter";
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(list->vendor_id, kVid);
    EXPECT_EQ(list->product_id, kPid);
    ASSERT_NE(list->path, nullptr);
    EXPECT_EQ(std::string(list->path).rfind("/dev/emulated/hidraw", 0), 0u) << list->path;
    EXPECT_EQ(list->usage_page, 0xFF00);
    EXPECT_EQ(list->interface_number, 0);
    ASSERT_NE(list->manufacturer_string, nullptr);
    EXPECT_STREQ(list->manufacturer_string, L"Emulated Devices");
    hid_free_enumeration(list);

    // A vendor ID nobody has matches nothing.
    EXPECT_TRUE(pathsOf(0x0010, 0x0002).empty());
}

TEST_F(Emulator, OpenHandleFindsItsStringsThroughUdev)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr) << hid_error(nullptr);
    wchar_t text[128] = {};
    ASSERT_EQ(hid_get_product_string(h.dev, text, 128), 0) << hid_error(h.dev);
    EXPECT_STREQ(text, L"Emulated Lambda Adapter");
    ASSERT_EQ(hid_get_serial_number_string(h.dev, text, 128), 0) << hid_error(h.dev);
    EXPECT_STREQ(text, L"EMU-adapter");
}

TEST_F(Emulator, FeatureReportCarriesTheRawSample)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr) << hid_error(nullptr);
    for (int raw : {150, 0, 255, 142}) {
        ASSERT_TRUE(ctl.setRaw("adapter", raw)) << ctl.error();
        unsigned char buf[9];
        std::memset(buf, 0xAA, sizeof buf);
        buf[0] = 0;
        ASSERT_EQ(hid_get_feature_report(h.dev, buf, sizeof buf), 9) << hid_error(h.dev);
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(buf[3], raw);
        EXPECT_EQ(buf[1], 0);  // the rest of the default report is zeros
        EXPECT_EQ(buf[8], 0);
    }
}

TEST_F(Emulator, FeatureReadReturnsWhatTheDeviceHasLikeTheKernel)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr);
    ASSERT_TRUE(ctl.setRaw("adapter", 99));
    unsigned char wide[20];
    std::memset(wide, 0xAA, sizeof wide);
    wide[0] = 0;
    // 1 ID byte + 8 report bytes, the rest of the caller's buffer left as it was.
    ASSERT_EQ(hid_get_feature_report(h.dev, wide, sizeof wide), 9);
    EXPECT_EQ(wide[3], 99);
    EXPECT_EQ(wide[9], 0xAA);
    EXPECT_EQ(wide[19], 0xAA);

    unsigned char narrow[4] = {0, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(hid_get_feature_report(h.dev, narrow, sizeof narrow), 4);
    EXPECT_EQ(narrow[3], 99);
}

TEST_F(Emulator, WholeFeatureContentsThenSignalTakesByteThreeBack)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr);
    ASSERT_TRUE(ctl.setFeature("adapter", {1, 2, 3, 4, 5, 6, 7, 8})) << ctl.error();
    unsigned char buf[9] = {};
    ASSERT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(buf[i], i) << "byte " << i;

    ASSERT_TRUE(ctl.setRaw("adapter", 200));
    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);
    EXPECT_EQ(buf[3], 200);
    EXPECT_EQ(buf[2], 2);
    EXPECT_EQ(buf[8], 8);
    ASSERT_TRUE(ctl.setFeature("adapter", std::vector<std::uint8_t>(8, 0)));
    ASSERT_TRUE(ctl.setRaw("adapter", 142));
}

TEST_F(Emulator, SignalsAndBadCommands)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr);
    unsigned char buf[9] = {};
    ASSERT_TRUE(ctl.setSignal("adapter", "sine 100 100 0.5")) << ctl.error();
    ASSERT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);
    EXPECT_EQ(buf[3], 100);
    ASSERT_TRUE(ctl.setSignal("adapter", "const 77")) << ctl.error();
    ASSERT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);
    EXPECT_EQ(buf[3], 77);

    // An engine at idle stays near lambda 1 apart from its lean and rich moments.
    ASSERT_TRUE(ctl.setSignal("adapter", "idle")) << ctl.error();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);
        EXPECT_GE(buf[3], 110);
        EXPECT_LE(buf[3], 235);
    }

    EXPECT_FALSE(ctl.setRaw("adapter", 256));
    EXPECT_NE(ctl.error().find("0..255"), std::string::npos) << ctl.error();
    EXPECT_FALSE(ctl.setSignal("adapter", "square 1 2"));
    EXPECT_FALSE(ctl.setRaw("nosuchdevice", 1));
    EXPECT_NE(ctl.error().find("nosuchdevice"), std::string::npos) << ctl.error();
    EXPECT_FALSE(ctl.command("frobnicate adapter").has_value());
    // The connection stays usable after errors.
    EXPECT_TRUE(ctl.command("ping").has_value()) << ctl.error();
}

TEST_F(Emulator, InjectedFailuresThenRecovery)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr);
    const auto before = ctl.stats("adapter");
    ASSERT_TRUE(before) << ctl.error();
    ASSERT_TRUE(ctl.failReads("adapter", 3, "EIO")) << ctl.error();
    unsigned char buf[9] = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(hid_get_feature_report(h.dev, buf, 9), -1) << "read " << i;
        EXPECT_NE(std::wstring(hid_error(h.dev)).find(L"Input/output error"), std::wstring::npos) << hid_error(h.dev);
    }
    ASSERT_TRUE(ctl.setRaw("adapter", 131));
    EXPECT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);
    EXPECT_EQ(buf[3], 131);

    ASSERT_TRUE(ctl.failReads("adapter", 1, "EPIPE"));
    EXPECT_EQ(hid_get_feature_report(h.dev, buf, 9), -1);
    EXPECT_NE(std::wstring(hid_error(h.dev)).find(L"Broken pipe"), std::wstring::npos) << hid_error(h.dev);
    EXPECT_EQ(hid_get_feature_report(h.dev, buf, 9), 9);

    const auto after = ctl.stats("adapter");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->failedReads - before->failedReads, 4u);
    EXPECT_EQ(after->featureReads - before->featureReads, 2u);
    EXPECT_FALSE(ctl.failReads("adapter", 1, "ENOTANERRNO"));
}

TEST_F(Emulator, UnplugRemovesTheDeviceAndFailsTheOpenHandle)
{
    const std::string path = adapterPath();
    ASSERT_FALSE(path.empty());
    Handle h(path);
    ASSERT_NE(h.dev, nullptr);
    const auto first = ctl.stats("adapter");
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->plugged);

    ASSERT_TRUE(ctl.unplug("adapter")) << ctl.error();
    EXPECT_TRUE(pathsOf(kVid, kPid).empty());
    EXPECT_TRUE(pathsOf(0, 0).empty());
    unsigned char buf[9] = {};
    EXPECT_EQ(hid_get_feature_report(h.dev, buf, 9), -1);
    EXPECT_NE(std::wstring(hid_error(h.dev)).find(L"No such device"), std::wstring::npos) << hid_error(h.dev);
    EXPECT_EQ(hid_read_timeout(h.dev, buf, sizeof buf, 1000), -1);
    EXPECT_EQ(hid_open_path(path.c_str()), nullptr);
    EXPECT_FALSE(ctl.unplug("adapter"));
    const auto gone = ctl.stats("adapter");
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->plugged);
    EXPECT_EQ(gone->opens, 1u);  // our handle still holds the dead node

    ASSERT_TRUE(ctl.plug("adapter")) << ctl.error();
    const std::string again = adapterPath();
    ASSERT_FALSE(again.empty());
    const auto second = ctl.stats("adapter");
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->plugged);
    EXPECT_NE(second->hid, first->hid) << "a replug is a new HID device";
    EXPECT_EQ(again, path) << "the lowest free hidraw number is reused";

    // The old handle stays dead; a new one works.
    EXPECT_EQ(hid_get_feature_report(h.dev, buf, 9), -1);
    Handle fresh(again);
    ASSERT_NE(fresh.dev, nullptr) << hid_error(nullptr);
    ASSERT_TRUE(ctl.setRaw("adapter", 160));
    EXPECT_EQ(hid_get_feature_report(fresh.dev, buf, 9), 9);
    EXPECT_EQ(buf[3], 160);
}

TEST_F(Emulator, UnplugWakesAReaderWaitingInPoll)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr);
    const auto polls = ctl.stats("adapter")->polls;
    auto reader = std::async(std::launch::async, [&h] {
        unsigned char buf[16];
        return hid_read_timeout(h.dev, buf, sizeof buf, 60000);
    });
    ASSERT_TRUE(waitFor([&] { return ctl.stats("adapter")->polls > polls; })) << "the reader never polled";
    ASSERT_TRUE(ctl.unplug("adapter"));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "poll never woke up";
    EXPECT_EQ(reader.get(), -1);
}

TEST_F(Emulator, InputReportsReachRead)
{
    Handle h(adapterPath());
    ASSERT_NE(h.dev, nullptr);
    unsigned char buf[64] = {};
    EXPECT_EQ(hid_read_timeout(h.dev, buf, sizeof buf, 20), 0) << "nothing was sent yet";

    const std::vector<std::uint8_t> report = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const auto delivered = ctl.sendInput("adapter", report);
    ASSERT_TRUE(delivered) << ctl.error();
    EXPECT_EQ(*delivered, 1);
    auto pending = ctl.stats("adapter");
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->inputPending, 1u);

    ASSERT_EQ(hid_read_timeout(h.dev, buf, sizeof buf, 10000), 8);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 8), report);
    // A short buffer gets the start of the report, like hidraw.
    ASSERT_TRUE(ctl.sendInput("adapter", report));
    ASSERT_EQ(hid_read_timeout(h.dev, buf, 3, 10000), 3);
    EXPECT_EQ(buf[2], 0x33);

    // A reader already waiting in poll is woken by the report.
    const auto polls = ctl.stats("adapter")->polls;
    auto reader = std::async(std::launch::async, [&h] {
        unsigned char in[64];
        const int n = hid_read_timeout(h.dev, in, sizeof in, 60000);
        return n > 0 ? std::vector<std::uint8_t>(in, in + n) : std::vector<std::uint8_t>();
    });
    ASSERT_TRUE(waitFor([&] { return ctl.stats("adapter")->polls > polls; })) << "the reader never polled";
    const std::vector<std::uint8_t> second = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_TRUE(ctl.sendInput("adapter", second));
    if (reader.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ctl.unplug("adapter");  // wakes the poll so the test can end
        FAIL() << "poll never woke up for the report";
    }
    EXPECT_EQ(reader.get(), second);

    const auto after = ctl.stats("adapter");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->inputPending, 0u);
    EXPECT_GE(after->inputRead, 3u);

    // With nobody holding the node open the report has nowhere to go.
    h.close();
    ASSERT_TRUE(waitFor([&] { return ctl.stats("adapter")->opens == 0; }));
    const auto none = ctl.sendInput("adapter", report);
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, 0);
}

TEST_F(Emulator, BlockingReadWithoutPollGetsTheNextReport)
{
    const std::string path = adapterPath();
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto reader = std::async(std::launch::async, [fd] {
        unsigned char in[64];
        const ssize_t n = ::read(fd, in, sizeof in);
        return n > 0 ? std::vector<std::uint8_t>(in, in + n) : std::vector<std::uint8_t>();
    });
    ASSERT_TRUE(waitFor([&] { return ctl.stats("adapter")->readersWaiting == 1; })) << "read() did not block";
    const std::vector<std::uint8_t> report = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 1};
    ASSERT_TRUE(ctl.sendInput("adapter", report));
    if (reader.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ctl.unplug("adapter");  // releases the read so the test can end
        FAIL() << "the blocked read never got the report";
    }
    EXPECT_EQ(reader.get(), report);

    // Non-blocking with nothing queued: EAGAIN, as hidraw answers.
    ASSERT_EQ(fcntl(fd, F_SETFL, O_NONBLOCK), 0);
    unsigned char in[8];
    EXPECT_EQ(::read(fd, in, sizeof in), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::close(fd);
}

TEST_F(Emulator, DescriptorWithA64ByteFeatureReportIsServedWhole)
{
    // Vendor page, 64-byte feature report, 64-byte input report, no report IDs.
    std::vector<std::uint8_t> descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26,
                                            0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x02, 0xB1, 0x02,
                                            0x95, 0x40, 0x09, 0x03, 0x81, 0x02, 0xC0};
    std::vector<std::uint8_t> contents(64);
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<std::uint8_t>(0x40 + i);
    EmulatedDeviceConfig device;
    device.name = "wide";
    device.vid = 0x1234;
    device.pid = 0x5678;
    device.descriptor = descriptor;
    device.feature = contents;
    device.product = "Wide Report Thing";
    ASSERT_TRUE(ctl.add(device)) << ctl.error();
    EXPECT_FALSE(ctl.add(device)) << "a name is taken only once";

    const auto paths = pathsOf(0x1234, 0x5678);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0], adapterPath());
    EXPECT_EQ(pathsOf(0, 0).size(), 2u);
    Handle h(paths[0]);
    ASSERT_NE(h.dev, nullptr);
    unsigned char buf[65] = {};
    ASSERT_EQ(hid_get_feature_report(h.dev, buf, sizeof buf), 65) << hid_error(h.dev);
    EXPECT_EQ(std::vector<std::uint8_t>(buf + 1, buf + 65), contents);
    wchar_t text[64] = {};
    ASSERT_EQ(hid_get_product_string(h.dev, text, 64), 0);
    EXPECT_STREQ(text, L"Wide Report Thing");

    h.close();
    ASSERT_TRUE(ctl.remove("wide")) << ctl.error();
    EXPECT_TRUE(pathsOf(0x1234, 0x5678).empty());
}

TEST_F(Emulator, StatsCountReadsAndOpenFiles)
{
    ASSERT_TRUE(waitFor([&] { return ctl.stats("adapter")->opens == 0; })) << "an earlier test leaked a handle";
    const auto before = ctl.stats("adapter");
    ASSERT_TRUE(before);
    {
        Handle a(adapterPath());
        Handle b(adapterPath());
        ASSERT_NE(a.dev, nullptr);
        ASSERT_NE(b.dev, nullptr);
        const auto open = ctl.stats("adapter");
        ASSERT_TRUE(open);
        EXPECT_EQ(open->opens, 2u);
        unsigned char buf[9] = {};
        for (int i = 0; i < 5; ++i) ASSERT_EQ(hid_get_feature_report(a.dev, buf, 9), 9);
        const auto read = ctl.stats("adapter");
        ASSERT_TRUE(read);
        EXPECT_EQ(read->featureReads - before->featureReads, 5u);
        EXPECT_GT(read->lastReadNs, before->lastReadNs);

        const auto times = ctl.readTimes("adapter");
        ASSERT_TRUE(times) << ctl.error();
        ASSERT_GE(times->size(), 5u);
        EXPECT_EQ(times->back(), read->lastReadNs);
        for (std::size_t i = times->size() - 5; i + 1 < times->size(); ++i) EXPECT_LE((*times)[i], (*times)[i + 1]);

        const unsigned char out[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(hid_send_feature_report(b.dev, out, sizeof out), 9);
        const auto wrote = ctl.stats("adapter");
        ASSERT_TRUE(wrote);
        EXPECT_EQ(wrote->featureWrites - before->featureWrites, 1u);
        EXPECT_EQ(wrote->lastSetFeature, "000102030405060708");
    }
    EXPECT_TRUE(waitFor([&] { return ctl.stats("adapter")->opens == 0; })) << "closed handles still counted";
}

TEST_F(Emulator, StallDelaysOnlyThatDevice)
{
    EmulatedDeviceConfig device;
    device.name = "neighbour";
    device.pid = 0x0002;
    ASSERT_TRUE(ctl.add(device)) << ctl.error();
    const auto neighbourPaths = pathsOf(kVid, 0x0002);
    ASSERT_EQ(neighbourPaths.size(), 1u);
    Handle stalled(adapterPath());
    Handle other(neighbourPaths[0]);
    ASSERT_NE(stalled.dev, nullptr);
    ASSERT_NE(other.dev, nullptr);

    // Long enough that it cannot end during the test; the unplug below ends it.
    ASSERT_TRUE(ctl.stall("adapter", 600)) << ctl.error();
    std::atomic<bool> done{false};
    auto reader = std::async(std::launch::async, [&] {
        unsigned char buf[9] = {};
        const int r = hid_get_feature_report(stalled.dev, buf, 9);
        done = true;
        return r;
    });
    ASSERT_TRUE(ctl.setRaw("neighbour", 101));
    for (int i = 0; i < 10; ++i) {
        unsigned char buf[9] = {};
        ASSERT_EQ(hid_get_feature_report(other.dev, buf, 9), 9);
        EXPECT_EQ(buf[3], 101);
    }
    // The stalled device still answers everything but feature reads.
    EXPECT_TRUE(ctl.stats("adapter").has_value());
    EXPECT_FALSE(done.load()) << "the stalled read came back early";

    ASSERT_TRUE(ctl.unplug("adapter"));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);

    // A short stall ends with the data.
    ASSERT_TRUE(ctl.plug("adapter"));
    Handle again(adapterPath());
    ASSERT_NE(again.dev, nullptr);
    ASSERT_TRUE(ctl.stall("adapter", 0.2));
    ASSERT_TRUE(ctl.setRaw("adapter", 133));
    unsigned char buf[9] = {};
    EXPECT_EQ(hid_get_feature_report(again.dev, buf, 9), 9);
    EXPECT_EQ(buf[3], 133);
    ASSERT_TRUE(ctl.stall("adapter", 0));

    other.close();
    ASSERT_TRUE(ctl.remove("neighbour"));
}

}  // namespace
