#pragma once

#include <QPointer>
#include <QString>
#include <cstdint>

#include "hid_controller.h"
#include "sampling_cycle.h"

namespace kornat {

inline constexpr std::uint16_t kAdapterVendorId = 0x0010;
inline constexpr std::uint16_t kAdapterProductId = 0x0001;

enum class AdapterStatus { NotConnected, Connected, Disconnected };

QString statusText(AdapterStatus status);
std::uint32_t statusColour(AdapterStatus status);  // RGB

// Where the link shows what it knows about the adapter.
class StatusView {
public:
    virtual ~StatusView() = default;
    virtual void showStatus(AdapterStatus status) = 0;
    // After each look for the adapter: why a matching adapter could not be opened and whether
    // it is a missing permission on the device node, or an empty reason when there is nothing
    // to tell (an adapter is claimed, or none was refused).
    virtual void showClaimProblem(const QString& reason, bool permissionDenied) = 0;
};

// Finds the adapter among the HID devices, claims it, reads it for the sampling cycle and keeps
// the status line truthful. The handlers are the controller's events.
//
// Threads: UI thread only; the controller delivers its events and read results there.
class AdapterLink final : public SampleSource {
public:
    AdapterLink(hid::HidController& hid, StatusView& view);

    // A device came or went (and once at start-up): forget the adapter and look for it again.
    void HIDDeviceChange();
    // One present device; returns whether to go on (always).
    bool HIDEnumerate(hid::HidDevice& hidDev, int idx);
    // Input reports carry nothing the program uses: received and dropped.
    void HIDDeviceData(hid::HidDevice& hidDev, std::uint8_t reportId, const std::uint8_t* data,
                       std::uint16_t size);

    hid::HidDevice* adapterDevice() const { return m_adapterDevice.data(); }
    AdapterStatus status() const { return m_status; }

    // SampleSource
    bool adapterClaimed() const override { return !m_adapterDevice.isNull(); }
    bool readOutstanding() const override;
    std::size_t featureReportLength() const override;
    void startFeatureRead(std::vector<std::uint8_t> report, std::size_t length,
                          ReadDone done) override;
    void showDisconnected() override { setStatus(AdapterStatus::Disconnected); }

private:
    void setStatus(AdapterStatus status);

    hid::HidController& m_hid;
    StatusView& m_view;
    QPointer<hid::HidDevice> m_adapterDevice;
    QPointer<hid::HidDevice> m_claimProblem;  // the first adapter refused in this enumeration
    AdapterStatus m_status = AdapterStatus::NotConnected;
};

}  // namespace kornat
