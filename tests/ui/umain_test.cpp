#include "umain.h"

#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QSignalSpy>
#include <memory>

#include "fake_backend.h"
#include "fuel.h"
#include "qt_test_support.h"

namespace kornat::testing {
namespace {

using ui::TMForm;

QColor textColour(const QWidget* w) { return w->palette().color(QPalette::WindowText); }
QColor backColour(const QWidget* w) { return w->palette().color(QPalette::Window); }

class FormTest : public ::testing::Test {
protected:
    void create(bool show = true) {
        form = std::make_unique<TMForm>(std::make_unique<FakeBackend>(world, false));
        form->HID->setPollInterval(20);
        if (show) {
            form->showCentred();
        }
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    bool connected() {
        return waitFor([&] { return form->link().status() == AdapterStatus::Connected; });
    }

    std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
    std::unique_ptr<TMForm> form;
};

TEST_F(FormTest, InitialStateMatchesTheLayout) {
    create(false);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("КОРНАТ-2"));
    EXPECT_EQ(form->size(), QSize(870, 471));

    struct Control {
        const QWidget* widget;
        QRect geometry;
    };
    const Control controls[] = {
        {form->Chart1, {16, 16, 681, 417}},       {form->GroupBox1, {712, 8, 145, 105}},
        {form->GroupBox2, {711, 128, 146, 105}},  {form->RadioGroup1, {712, 248, 145, 185}},
        {form->RadioButton1, {720, 272, 65, 17}}, {form->RadioButton2, {720, 296, 65, 17}},
        {form->RadioButton3, {720, 320, 65, 17}}, {form->RadioButton4, {720, 344, 65, 17}},
        {form->RadioButton5, {720, 368, 73, 17}}, {form->RadioButton6, {720, 392, 65, 17}},
        {form->Label4, {8, 448, 483, 13}},
    };
    for (const Control& c : controls) {
        EXPECT_EQ(c.widget->geometry(), c.geometry) << c.widget->objectName().toStdString();
    }
    EXPECT_EQ(form->Label1->pos(), QPoint(12, 16));
    EXPECT_EQ(form->Label1->parentWidget(), form->GroupBox1);
    EXPECT_EQ(form->Label2->pos(), QPoint(12, 16));
    EXPECT_EQ(form->Label2->parentWidget(), form->GroupBox2);
    EXPECT_EQ(form->Label5->pos(), QPoint(728, 448));

    EXPECT_EQ(form->GroupBox1->title(), QStringLiteral(" Лямбда "));
    EXPECT_EQ(form->GroupBox2->title(), QStringLiteral(" Воздух / Топливо "));
    EXPECT_EQ(form->RadioGroup1->title(), QStringLiteral(" Топливо "));
    EXPECT_EQ(form->Label1->text(), "0");
    EXPECT_EQ(form->Label2->text(), "0");
    EXPECT_EQ(form->Label5->text(), QStringLiteral("адаптер не подключен"));
    EXPECT_TRUE(form->Label4->text().contains(QStringLiteral("КОРНАТ-2")));

    for (std::size_t i = 0; i < kFuels.size(); ++i) {
        const QRadioButton* button = form->RadioButtons[i];
        const auto caption = fuelCaption(kFuels[i]);
        EXPECT_EQ(button->text().toStdString(), caption);
        EXPECT_EQ(button->parentWidget(), form.get()) << "siblings of the frame, not its children";
        EXPECT_EQ(button->isChecked(), i == 0);
        EXPECT_EQ(textColour(button), QColor(Qt::white));
        EXPECT_NE(button->palette().color(QPalette::Text), QColor(Qt::white))
            << "the checked dot is drawn in the Text colour on a white circle";
    }

    // Colours.
    EXPECT_EQ(backColour(form.get()), form->palette().color(QPalette::Link));
    for (const QLabel* readout : {form->Label1, form->Label2}) {
        EXPECT_EQ(textColour(readout), QColor(0x00FF00));
        EXPECT_EQ(backColour(readout), QColor(Qt::black));
        EXPECT_TRUE(readout->autoFillBackground());
    }
    for (const QGroupBox* box : {form->GroupBox1, form->GroupBox2}) {
        EXPECT_EQ(textColour(box), QColor(Qt::white));
        EXPECT_EQ(backColour(box), QColor(Qt::black));
    }
    EXPECT_EQ(textColour(form->RadioGroup1), QColor(Qt::white));
    EXPECT_EQ(textColour(form->Label4), QColor(Qt::white));
    EXPECT_EQ(textColour(form->Label5), QColor(0xFF0000));

    // Fonts: the named families, served by the metric-compatible face.
    EXPECT_EQ(form->font().pixelSize(), 11);
    EXPECT_EQ(form->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(form->Label1->font().pixelSize(), 67);
    EXPECT_TRUE(form->Label1->font().bold());
    EXPECT_EQ(QFontInfo(form->Label1->font()).family(), QStringLiteral("Liberation Sans"));
    EXPECT_EQ(form->Label1->width(), 37) << "the width of \"0\", as laid out";
    const QFont axisFont = form->Chart1->xAxis->tickLabelFont();
    EXPECT_EQ(axisFont.family(), QStringLiteral("Arial"));
    EXPECT_EQ(axisFont.pixelSize(), 11);
    EXPECT_EQ(QFontInfo(axisFont).family(), QStringLiteral("Liberation Sans"));

    // Tab order.
    const QWidget* expected[] = {form->Chart1,       form->GroupBox1,    form->GroupBox2,
                                 form->RadioGroup1,  form->RadioButton1, form->RadioButton2,
                                 form->RadioButton3, form->RadioButton4, form->RadioButton5,
                                 form->RadioButton6};
    // The chain also holds the readout labels inside their boxes; only the order of these counts.
    std::vector<const QWidget*> chain;
    const QWidget* w = form->Chart1;
    do {
        if (std::find(std::begin(expected), std::end(expected), w) != std::end(expected)) {
            chain.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != form->Chart1 && chain.size() < std::size(expected));
    EXPECT_EQ(chain, std::vector<const QWidget*>(std::begin(expected), std::end(expected)));

    // Timers, chart and state before the first tick.
    for (const QTimer* timer : {form->Timer1, form->Timer2}) {
        EXPECT_TRUE(timer->isActive());
        EXPECT_EQ(timer->interval(), 100);
        EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
    }
    EXPECT_EQ(form->Chart1->yAxis->range(), QCPRange(0, 5));
    EXPECT_EQ(form->Chart1->xAxis->range(), QCPRange(0, 10));
    EXPECT_TRUE(form->Series1->data()->isEmpty());
    EXPECT_EQ(form->Series1->pen().color(), QColor(0x00FF00));
    EXPECT_EQ(form->Chart1->axisRect()->backgroundBrush().color(), QColor(Qt::black));
    EXPECT_FALSE(form->Chart1->legend->visible());
    EXPECT_EQ(form->cycle().fuelFactor(), 0.0);
    QSignalSpy poll(form->Timer2, &QTimer::timeout);
    ASSERT_TRUE(waitFor([&] { return poll.count() >= 1; }));
    EXPECT_EQ(form->cycle().fuelFactor(), 0.147);
}

TEST_F(FormTest, WindowCannotBeResizedOrMaximised) {
    create();
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_EQ(form->minimumSize(), QSize(870, 471));
    EXPECT_EQ(form->maximumSize(), QSize(870, 471));
    form->resize(1000, 700);
    form->showMaximized();
    drainEvents();
    EXPECT_EQ(form->size(), QSize(870, 471));
}

TEST_F(FormTest, ChoosingMethanolShowsItsRatioWithinTwoTicks) {
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.feature[2] = 142; });
    create();
    ASSERT_TRUE(connected());
    ASSERT_TRUE(waitFor([&] { return form->Label2->text() == "14.7"; }));
    EXPECT_EQ(form->Label2->width(),
              QFontMetrics(form->Label2->font()).horizontalAdvance(form->Label2->text()))
        << "sized to its text";
    // The widest figure the readouts can show fits its box whole.
    EXPECT_LE(form->Label2->x() + QFontMetrics(form->Label2->font()).horizontalAdvance("26.4"),
              form->GroupBox2->width());

    // Within two ticks: the fuel poll stores the factor, and the next sample uses it. The timers
    // are driven by hand so the order is the one under test, not the scheduler's.
    form->Timer1->stop();
    form->Timer2->stop();
    ASSERT_TRUE(waitFor([&] { return !form->link().readOutstanding(); }));
    form->RadioButton5->click();
    EXPECT_FALSE(form->RadioButton1->isChecked());
    form->Timer2Timer();
    EXPECT_EQ(form->cycle().fuelFactor(), 0.064);
    const int counter = form->cycle().sampleCounter();
    form->Timer1Timer();
    ASSERT_TRUE(waitFor([&] { return form->cycle().sampleCounter() != counter; }));
    EXPECT_EQ(form->Label2->text(), "6.4");
    EXPECT_EQ(form->Label1->text(), "1.00");
}

TEST_F(FormTest, ReadoutsUseTheLocaleDecimalSeparator) {
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.feature[2] = 142; });
    create();
    ASSERT_TRUE(waitFor([&] { return form->Label2->text() == "14,7"; }));
    EXPECT_EQ(form->Label1->text(), "1,00");
}

TEST_F(FormTest, StatusLineAndTraceFollowTheAdapter) {
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.feature[2] = 200; });
    create();
    ASSERT_TRUE(connected());
    EXPECT_EQ(form->Label5->text(), QStringLiteral("адаптер подключен"));
    EXPECT_EQ(textColour(form->Label5), QColor(Qt::white));

    ASSERT_TRUE(waitFor([&] { return form->Series1->data()->size() >= 3; }));
    auto it = form->Series1->data()->constBegin();
    EXPECT_DOUBLE_EQ(it->key, 0.1);
    EXPECT_DOUBLE_EQ(it->value, 200 * 1.75 / 100);
    EXPECT_DOUBLE_EQ((it + 1)->key, 0.2);

    world->unplug(adapter);
    ASSERT_TRUE(waitFor([&] { return form->link().status() == AdapterStatus::Disconnected; }));
    EXPECT_EQ(form->Label5->text(), QStringLiteral("адаптер отключен"));
    EXPECT_EQ(textColour(form->Label5), QColor(0xFF0000));
}

TEST_F(FormTest, LongOpenFailureFitsTheInformationLine) {
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.openFails = true; });
    create();
    ASSERT_TRUE(waitFor([&] { return !form->Label4->toolTip().isEmpty(); }));
    EXPECT_TRUE(form->Label4->text().startsWith(QStringLiteral("Адаптер не открывается")));
    EXPECT_LE(form->Label4->fontMetrics().horizontalAdvance(form->Label4->text()), 483);
    EXPECT_EQ(form->Label4->toolTip(), QStringLiteral("Device or resource busy"));
    EXPECT_EQ(form->Label5->text(), QStringLiteral("адаптер не подключен"));
}

TEST_F(FormTest, AdapterWithoutPermissionGetsAHint) {
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.permissionDenied = true; });
    create();
    ASSERT_TRUE(waitFor([&] { return form->Label4->text().contains(QStringLiteral("udev")); }));
    EXPECT_EQ(form->Label5->text(), QStringLiteral("адаптер не подключен"));
    EXPECT_EQ(textColour(form->Label4), QColor(Qt::white));
    EXPECT_LE(form->Label4->fontMetrics().horizontalAdvance(form->Label4->text()), 483)
        << "the hint fits its line";
    world->with(adapter, [](FakeWorld::Device& d) { return d.permissionDenied = false; });
    ASSERT_TRUE(connected());
    EXPECT_TRUE(form->Label4->text().contains(QStringLiteral("КОРНАТ-2")));
}

}  // namespace
}  // namespace kornat::testing
