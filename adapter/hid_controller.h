#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "hid_backend.h"

class QSocketNotifier;

namespace kornat::hid {

class DeviceIo;

struct FeatureResult {
    std::vector<std::uint8_t> report;
    bool ok = false;
};

// One HID device in the controller's list. Plain attributes come from the scan; a claim opens the
// device and starts its threads: one for feature reads, one that reads input reports.
//
// Threads: the object lives on the UI thread and every member is called there. Results of the
// device threads come back to it as queued calls, and are dropped when the object is gone.
class HidDevice : public QObject {
    Q_OBJECT
public:
    // After this long without an answer a feature read counts as failed, so a stalled device is
    // reported within a second instead of after the kernel's own five-second timeout.
    static constexpr int kFeatureReadDeadlineMs = 1000;

    ~HidDevice() override;

    std::uint16_t vendorId() const { return m_info.vendorId; }
    std::uint16_t productId() const { return m_info.productId; }
    const std::string& path() const { return m_info.path; }
    const DeviceInfo& info() const { return m_info; }

    bool isCheckedOut() const { return m_io != nullptr; }
    // Why the last claim failed; empty when it did not.
    const QString& claimError() const { return m_claimError; }
    bool claimDeniedByPermissions() const { return m_permissionDenied; }

    // Report lengths as Windows' HidP_GetCaps gives them: longest report plus the report ID byte;
    // 0 when the device has none (or its descriptor could not be understood).
    std::size_t featureReportLength() const { return m_featureLength; }
    std::size_t inputReportLength() const { return m_inputLength; }

    // Starts a feature read on the device thread; `done` runs on the UI thread, exactly once,
    // unless the device goes away first. A device that is not claimed, or declares no feature
    // report, fails at once without being asked.
    void startFeatureRead(std::vector<std::uint8_t> report, std::size_t length,
                          std::function<void(FeatureResult)> done);
    // True from the start of a feature read until the device has answered it, also after the
    // deadline has already reported it as failed.
    bool readOutstanding() const { return m_readInFlight; }

signals:
    // An input report: the report ID (0 for a device without IDs) and the bytes after it.
    void inputReport(std::uint8_t reportId, const QByteArray& data);

private:
    friend class HidController;
    HidDevice(DeviceInfo info, QObject* parent);

    bool checkOut(Backend& backend);
    void release();
    void finishRead(std::uint64_t sequence, FeatureResult result, bool fromDevice);

    DeviceInfo m_info;
    std::shared_ptr<DeviceIo> m_io;
    QString m_claimError;
    bool m_permissionDenied = false;
    std::size_t m_featureLength = 0;
    std::size_t m_inputLength = 0;
    bool m_usesReportIds = false;

    std::uint64_t m_readSequence = 0;
    bool m_readInFlight = false;
    bool m_readAnswered = true;
    std::function<void(FeatureResult)> m_readDone;
};

// Keeps the list of present HID devices and tells when it changes.
//
// At creation it arranges one deviceChange that is raised as soon as the event loop runs, after a
// first scan, whatever that scan finds. Afterwards it raises deviceChange when a device appeared
// or disappeared. Changes are noticed through the backend's notifications where the system has
// them (a udev daemon), and by a cheap check once a second in any case.
//
// Threads: lives on the UI thread; all members and signals run there. Destroying it stops every
// device thread and closes every device.
class HidController : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollIntervalMs = 1000;

    explicit HidController(std::unique_ptr<Backend> backend, QObject* parent = nullptr);
    ~HidController() override;

    // Visits the devices in list order with their list index until `visit` returns false.
    // Returns how many were visited.
    int enumerate(const std::function<bool(HidDevice& device, int index)>& visit);

    // Opens and keeps the device, and starts its input reader. Claiming a claimed device changes
    // nothing. Returns false when the device cannot be opened (see HidDevice::claimError()).
    bool checkOut(HidDevice& device);

    int deviceCount() const { return static_cast<int>(m_devices.size()); }
    HidDevice* device(int index) const;

    // Scans now; raises deviceChange when the list changed. The controller does this by itself.
    void rescan();
    // How often the cheap change check runs (kPollIntervalMs unless a test wants it quicker).
    void setPollInterval(int milliseconds) { m_pollTimer.setInterval(milliseconds); }

signals:
    void deviceChange();
    void deviceData(kornat::hid::HidDevice* device, std::uint8_t reportId, const QByteArray& data);

private:
    bool scan();
    void pollForChanges();
    void onNotification();

    std::unique_ptr<Backend> m_backend;
    std::vector<HidDevice*> m_devices;  // children of this object, in scan order
    QTimer m_pollTimer;
    QSocketNotifier* m_notifier = nullptr;
    std::string m_lastToken;
};

}  // namespace kornat::hid
