#pragma once

#include <QByteArray>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>

#include "adapter_link.h"
#include "hid_backend.h"
#include "hid_controller.h"
#include "sampling_cycle.h"

class QCustomPlot;
class QCPGraph;
class QGroupBox;
class QLabel;
class QRadioButton;

namespace kornat::ui {

// Families the layout names and the metric-compatible faces that stand in for them on Linux, so
// the readouts fit their boxes as designed.
void installFontSubstitutes();

// The program's window: the trace chart, the two readouts, the fuel choice and the status line.
// It owns the HID controller, the adapter link and the sampling cycle for the whole run.
//
// Threads: UI thread only. The controller's device threads report back through queued calls.
class TMForm : public QWidget, private SampleView, private StatusView {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 870;
    static constexpr int kClientHeight = 471;
    static constexpr int kTimerIntervalMs = 100;

    explicit TMForm(std::unique_ptr<hid::Backend> backend = hid::makeHidapiBackend(),
                    QWidget* parent = nullptr);
    ~TMForm() override;

    // Opens the window centred on its screen.
    void showCentred();

    // Controls, named as in the layout.
    QCustomPlot* Chart1 = nullptr;
    QCPGraph* Series1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label2 = nullptr;
    QGroupBox* RadioGroup1 = nullptr;
    std::array<QRadioButton*, 6> RadioButtons{};
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QRadioButton* RadioButton3 = nullptr;
    QRadioButton* RadioButton4 = nullptr;
    QRadioButton* RadioButton5 = nullptr;
    QRadioButton* RadioButton6 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    hid::HidController* HID = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;

    const SamplingCycle& cycle() const { return *m_cycle; }
    const AdapterLink& link() const { return *m_link; }

    // Handlers, named after component and event. The enumeration handler is the adapter link's
    // own (AdapterLink::HIDEnumerate), which its device-change handler drives.
    void FormCreate();
    void Timer1Timer();
    void Timer2Timer();
    void HIDDeviceChange();
    void HIDDeviceData(hid::HidDevice* hidDev, std::uint8_t reportId, const QByteArray& report);

protected:
    void changeEvent(QEvent* event) override;

private:
    // SampleView
    void showLambda(const QString& text) override;
    void showAfr(const QString& text) override;
    void addTracePoint(double x, double y, std::uint32_t rgb) override;
    void clearTrace() override;
    // StatusView
    void showStatus(AdapterStatus status) override;
    void showClaimProblem(const QString& reason, bool permissionDenied) override;

    void buildControls();
    QString informationText() const;

    std::unique_ptr<AdapterLink> m_link;
    std::unique_ptr<SamplingCycle> m_cycle;
};

}  // namespace kornat::ui
