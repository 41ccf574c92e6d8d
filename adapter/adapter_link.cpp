#include "adapter_link.h"

#include <utility>

namespace kornat {

QString statusText(AdapterStatus status) {
    switch (status) {
        case AdapterStatus::NotConnected:
            return QStringLiteral("адаптер не подключен");
        case AdapterStatus::Connected:
            return QStringLiteral("адаптер подключен");
        case AdapterStatus::Disconnected:
            return QStringLiteral("адаптер отключен");
    }
    return {};
}

std::uint32_t statusColour(AdapterStatus status) {
    return status == AdapterStatus::Connected ? 0xFFFFFFu : 0xFF0000u;
}

AdapterLink::AdapterLink(hid::HidController& hid, StatusView& view) : m_hid(hid), m_view(view) {}

void AdapterLink::HIDDeviceChange() {
    const bool hadAdapter = !m_adapterDevice.isNull();
    m_adapterDevice = nullptr;
    m_claimProblem = nullptr;
    m_hid.enumerate([this](hid::HidDevice& device, int idx) { return HIDEnumerate(device, idx); });
    // An adapter that was pulled out must not go on being shown as connected.
    if (hadAdapter && m_adapterDevice.isNull()) {
        setStatus(AdapterStatus::Disconnected);
    }
    // The information line speaks of a refused adapter only while no adapter works at all.
    if (!m_adapterDevice.isNull() || m_claimProblem.isNull()) {
        m_view.showClaimProblem(QString(), false);
    } else {
        m_view.showClaimProblem(m_claimProblem->claimError(),
                                m_claimProblem->claimDeniedByPermissions());
    }
}

bool AdapterLink::HIDEnumerate(hid::HidDevice& hidDev, int /*idx*/) {
    if (hidDev.vendorId() != kAdapterVendorId || hidDev.productId() != kAdapterProductId) {
        return true;
    }
    // An adapter that cannot be opened is not connected: saying so would be a lie, and every
    // read would fail. The reason goes to the information line instead.
    if (!m_hid.checkOut(hidDev)) {
        if (m_claimProblem.isNull()) {
            m_claimProblem = &hidDev;
        }
        return true;
    }
    m_adapterDevice = &hidDev;
    setStatus(AdapterStatus::Connected);
    return true;
}

void AdapterLink::HIDDeviceData(hid::HidDevice& /*hidDev*/, std::uint8_t /*reportId*/,
                                const std::uint8_t* /*data*/, std::uint16_t /*size*/) {}

bool AdapterLink::readOutstanding() const {
    return !m_adapterDevice.isNull() && m_adapterDevice->readOutstanding();
}

std::size_t AdapterLink::featureReportLength() const {
    return m_adapterDevice.isNull() ? 0 : m_adapterDevice->featureReportLength();
}

void AdapterLink::startFeatureRead(std::vector<std::uint8_t> report, std::size_t length,
                                   ReadDone done) {
    hid::HidDevice* device = m_adapterDevice.data();
    if (device == nullptr) {
        done(FeatureRead{std::move(report), false});
        return;
    }
    device->startFeatureRead(
        std::move(report), length,
        [this, device, done = std::move(done)](hid::FeatureResult result) {
            // A sample of a device that is no longer the adapter belongs to nobody.
            if (m_adapterDevice.data() != device) {
                return;
            }
            done(FeatureRead{std::move(result.report), result.ok});
        });
}

void AdapterLink::setStatus(AdapterStatus status) {
    m_status = status;
    m_view.showStatus(status);
}

}  // namespace kornat
