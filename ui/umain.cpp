#include "umain.h"

#include <qcustomplot.h>

#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QRadioButton>
#include <QEvent>
#include <QFontMetrics>
#include <QScreen>

#include "fuel.h"
#include "trace_chart.h"

namespace kornat::ui {

namespace {

const QColor kLime(0x00FF00);
const QColor kWhite(0xFFFFFF);

const char* const kProgramName = "КОРНАТ-2";

// Character heights are pixel sizes, as the layout was drawn at 96 dpi.
QFont layoutFont(int pixelSize, bool bold = false) {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// Labels that size themselves to their text, as wide as its advance and as high as a line.
void setAutoSizedText(QLabel* label, const QString& text) {
    label->setText(text);
    const QFontMetrics metrics(label->font());
    label->resize(metrics.horizontalAdvance(text), metrics.height());
}

void setColours(QWidget* widget, const QColor& text, const QColor* background) {
    QPalette palette = widget->palette();
    // Only the text: the style paints a radio button's dot in the Text colour, which has to
    // stay dark on the button's white circle.
    palette.setColor(QPalette::WindowText, text);
    if (background != nullptr) {
        palette.setColor(QPalette::Window, *background);
        widget->setAutoFillBackground(true);
    }
    widget->setPalette(palette);
}

}  // namespace

void installFontSubstitutes() {
    // Liberation Sans has the character widths of Arial and of Microsoft's sans serif; left to
    // itself fontconfig picks DejaVu Sans, which is wider and clips "26.4" in its box.
    const QStringList metricCompatible{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo")};
    for (const char* family : {"MS Sans Serif", "Microsoft Sans Serif", "Arial"}) {
        const QString name = QString::fromLatin1(family);
        if (QFont::substitutes(name).isEmpty()) {
            QFont::insertSubstitutions(name, metricCompatible);
        }
    }
}

TMForm::TMForm(std::unique_ptr<hid::Backend> backend, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
    installFontSubstitutes();
    setObjectName(QStringLiteral("MForm"));
    setWindowTitle(QString::fromUtf8(kProgramName));
    setFixedSize(kClientWidth, kClientHeight);
    // Right-to-left reading order only takes effect where the system has right-to-left language
    // support switched on; Linux has no such switch, so the layout reads left to right.
    setLayoutDirection(Qt::LeftToRight);
    setFont(layoutFont(11));
    {
        QPalette palette = this->palette();
        // Qt on Windows fills the link colour from the system's hot-light colour.
        palette.setColor(QPalette::Window, palette.color(QPalette::Link));
        setPalette(palette);
        setAutoFillBackground(true);
    }

    buildControls();

    HID = new hid::HidController(std::move(backend), this);
    HID->setObjectName(QStringLiteral("HID"));
    m_link = std::make_unique<AdapterLink>(*HID, static_cast<StatusView&>(*this));
    m_cycle = std::make_unique<SamplingCycle>(*m_link, static_cast<SampleView&>(*this));
    connect(HID, &hid::HidController::deviceChange, this, &TMForm::HIDDeviceChange);
    connect(HID, &hid::HidController::deviceData, this, &TMForm::HIDDeviceData);

    // Precise timers: a 10 Hz meter has to tick at 10 Hz, not at whatever coarse timers drift to.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kTimerIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &TMForm::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setTimerType(Qt::PreciseTimer);
    Timer2->setInterval(kTimerIntervalMs);
    connect(Timer2, &QTimer::timeout, this, &TMForm::Timer2Timer);
    Timer1->start();
    Timer2->start();

    FormCreate();
}

TMForm::~TMForm() {
    // Stop the device threads before the link and the cycle they report to are gone.
    delete HID;
    HID = nullptr;
}

void TMForm::buildControls() {
    const QColor black(Qt::black);

    Chart1 = new QCustomPlot(this);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    Chart1->setGeometry(16, 16, 681, 417);
    Series1 = setUpTraceChart(Chart1, palette().color(QPalette::Base));

    const auto readoutBox = [&](const QString& name, const QString& title, QRect geometry,
                                QLabel*& label, const QString& labelName) {
        auto* box = new QGroupBox(title, this);
        box->setObjectName(name);
        box->setGeometry(geometry);
        setColours(box, kWhite, &black);
        label = new QLabel(QStringLiteral("0"), box);
        label->setObjectName(labelName);
        label->setFont(layoutFont(67, true));
        setColours(label, kLime, &black);
        label->move(12, 16);
        setAutoSizedText(label, label->text());
        return box;
    };
    GroupBox1 = readoutBox(QStringLiteral("GroupBox1"), QStringLiteral(" Лямбда "),
                           QRect(712, 8, 145, 105), Label1, QStringLiteral("Label1"));
    GroupBox2 = readoutBox(QStringLiteral("GroupBox2"), QStringLiteral(" Воздух / Топливо "),
                           QRect(711, 128, 146, 105), Label2, QStringLiteral("Label2"));

    RadioGroup1 = new QGroupBox(QStringLiteral(" Топливо "), this);
    RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    RadioGroup1->setGeometry(712, 248, 145, 185);
    setColours(RadioGroup1, kWhite, nullptr);

    // Children of the window, not of the frame: as siblings they form one exclusive group.
    const int widths[] = {65, 65, 65, 65, 73, 65};
    for (std::size_t i = 0; i < kFuels.size(); ++i) {
        const std::string_view caption = fuelCaption(kFuels[i]);
        auto* button = new QRadioButton(
            QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())), this);
        button->setObjectName(QStringLiteral("RadioButton%1").arg(i + 1));
        button->setGeometry(720, 272 + 24 * static_cast<int>(i), widths[i], 17);
        setColours(button, kWhite, nullptr);
        RadioButtons[i] = button;
    }
    RadioButton1 = RadioButtons[0];
    RadioButton2 = RadioButtons[1];
    RadioButton3 = RadioButtons[2];
    RadioButton4 = RadioButtons[3];
    RadioButton5 = RadioButtons[4];
    RadioButton6 = RadioButtons[5];
    RadioButton1->setChecked(true);

    Label4 = new QLabel(informationText(), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setGeometry(8, 448, 483, 13);
    setColours(Label4, kWhite, nullptr);

    Label5 = new QLabel(this);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->move(728, 448);
    TMForm::showStatus(AdapterStatus::NotConnected);  // the label's initial text and colour

    setTabOrder(Chart1, GroupBox1);
    setTabOrder(GroupBox1, GroupBox2);
    setTabOrder(GroupBox2, RadioGroup1);
    setTabOrder(RadioGroup1, RadioButton1);
    for (std::size_t i = 1; i < RadioButtons.size(); ++i) {
        setTabOrder(RadioButtons[i - 1], RadioButtons[i]);
    }
}

QString TMForm::informationText() const {
    return QStringLiteral("%1, версия %2")
        .arg(QString::fromUtf8(kProgramName), QStringLiteral(KORNAT_VERSION));
}

void TMForm::showCentred() {
    const QScreen* screen = this->screen();
    if (screen != nullptr) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
}

void TMForm::changeEvent(QEvent* event) {
    // The size is fixed; a window manager that maximises anyway (a double click on the title
    // bar, a keyboard shortcut) gets the window back at its size.
    if (event->type() == QEvent::WindowStateChange &&
        (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
        resize(kClientWidth, kClientHeight);
    }
    QWidget::changeEvent(event);
}

void TMForm::FormCreate() {
    fixTraceAxes(Chart1);
    Chart1->replot();
}

void TMForm::Timer1Timer() { m_cycle->tick(); }

void TMForm::Timer2Timer() {
    // Each checked button stores its factor, a later one over an earlier one; with none checked
    // the factor stays as it was.
    for (std::size_t i = 0; i < RadioButtons.size(); ++i) {
        if (RadioButtons[i]->isChecked()) {
            m_cycle->setFuelFactor(fuelFactorOf(kFuels[i]));
        }
    }
}

void TMForm::HIDDeviceChange() { m_link->HIDDeviceChange(); }

void TMForm::HIDDeviceData(hid::HidDevice* hidDev, std::uint8_t reportId,
                           const QByteArray& report) {
    if (hidDev == nullptr) {
        return;
    }
    m_link->HIDDeviceData(*hidDev, reportId,
                          reinterpret_cast<const std::uint8_t*>(report.constData()),
                          static_cast<std::uint16_t>(qMin<qsizetype>(report.size(), 0xFFFF)));
}

void TMForm::showLambda(const QString& text) { setAutoSizedText(Label1, text); }

void TMForm::showAfr(const QString& text) { setAutoSizedText(Label2, text); }

void TMForm::addTracePoint(double x, double y, std::uint32_t rgb) {
    // A line series in QCustomPlot has one pen, so the points' colour is the line's colour.
    const QColor colour(static_cast<QRgb>(rgb));
    if (Series1->pen().color() != colour) {
        Series1->setPen(QPen(colour));
    }
    Series1->addData(x, y);
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TMForm::clearTrace() {
    Series1->data()->clear();
    Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TMForm::showStatus(AdapterStatus status) {
    setColours(Label5, QColor(static_cast<QRgb>(statusColour(status))), nullptr);
    setAutoSizedText(Label5, statusText(status));
}

void TMForm::showClaimProblem(const QString& reason, bool permissionDenied) {
    if (reason.isEmpty()) {
        Label4->setText(informationText());
    } else if (permissionDenied) {
        Label4->setText(QStringLiteral(
            "Нет доступа к адаптеру: установите правило udev 70-kornat2.rules и переподключите адаптер"));
    } else {
        // The system's reason can be long; the line shows what fits, the tooltip all of it.
        const QString text = QStringLiteral("Адаптер не открывается: %1").arg(reason);
        Label4->setText(
            QFontMetrics(Label4->font()).elidedText(text, Qt::ElideRight, Label4->width()));
    }
    Label4->setToolTip(reason);
}

}  // namespace kornat::ui
