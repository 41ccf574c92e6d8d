// The real program, as a user sees it: the kornat2 binary in the emulated world under Xvfb, with
// screenshots read back pixel by pixel. Runs under xvfb-run (see tests/CMakeLists.txt); the
// paths of the tool and the program come as arguments.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "control_client.h"
#include "qt_test_support.h"

namespace {

QString g_tool;
QString g_program;

bool isLime(QRgb p) { return qGreen(p) > 200 && qRed(p) < 90 && qBlue(p) < 90; }
bool isRed(QRgb p) { return qRed(p) > 200 && qGreen(p) < 90 && qBlue(p) < 90; }
bool isWhite(QRgb p) { return qRed(p) > 200 && qGreen(p) > 200 && qBlue(p) > 200; }
bool isBlack(QRgb p) { return qRed(p) < 40 && qGreen(p) < 40 && qBlue(p) < 40; }

template <typename Pred>
int count(const QImage& image, QRect area, Pred pred) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            n += pred(image.pixel(x, y)) ? 1 : 0;
        }
    }
    return n;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_FALSE(qgetenv("DISPLAY").isEmpty()) << "needs an X display (xvfb-run)";
        socket = dir.filePath("control");
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(g_tool, {"--raw", "142", "--control", socket, "--", g_program});
        ASSERT_TRUE(program.waitForStarted());
        ASSERT_TRUE(kornat::testing::waitFor(
            [&] {
                if (!control || !control->connected()) {
                    control = std::make_unique<EmulatedAdapterControl>(socket.toStdString());
                }
                return control->connected() || program.state() == QProcess::NotRunning;
            },
            30000));
        if (program.state() == QProcess::NotRunning && program.exitCode() == 77) {
            // The tool has said why (no root, no /dev/fuse); CTest decides skip or failure.
            std::exit(77);
        }
        ASSERT_TRUE(control->connected()) << "the emulated world did not come up: exit code "
                                          << program.exitCode();
    }

    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.terminate();
            program.waitForFinished(10000);
        }
    }

    std::uint64_t reads() {
        auto s = control->stats("adapter");
        return s ? s->featureReads : 0;
    }

    // Waits until the program has read the adapter `more` more times.
    bool readsMore(std::uint64_t more) {
        const std::uint64_t target = reads() + more;
        return kornat::testing::waitFor([&] { return reads() >= target; }, 30000);
    }

    QImage screenshot() {
        const QString file = dir.filePath(QStringLiteral("shot%1.png").arg(++shots));
        QProcess import;
        import.start("import", {"-window", "root", file});
        import.waitForFinished(30000);
        QImage image(file);
        return image.convertToFormat(QImage::Format_RGB32);
    }

    // The window opens centred on the screen; without a window manager it has no frame.
    QPoint origin(const QImage& image) const {
        return {(image.width() - 870) / 2, (image.height() - 471) / 2};
    }

    QTemporaryDir dir;
    QString socket;
    QProcess program;
    std::unique_ptr<EmulatedAdapterControl> control;
    int shots = 0;
};

TEST_F(WindowTest, LiveTraceReadoutsAndStatusLine) {
    ASSERT_TRUE(readsMore(15)) << "the program does not read the adapter";
    QImage image = screenshot();
    ASSERT_FALSE(image.isNull()) << "no screenshot";
    const QPoint o = origin(image);

    // The chart: black, with the lime trace at raw 142, Y 2.485 of 5.
    const QRect chart = QRect(16, 16, 681, 417).translated(o);
    const int chartPixels = chart.width() * chart.height();
    EXPECT_GT(count(image, chart, isBlack), chartPixels * 8 / 10) << "the plot is black";
    std::vector<int> rows;
    for (int y = chart.top(); y <= chart.bottom(); ++y) {
        for (int x = chart.left(); x <= chart.right(); ++x) {
            if (isLime(image.pixel(x, y))) {
                rows.push_back(y - chart.top());
            }
        }
    }
    ASSERT_GT(rows.size(), 30u) << "a lime trace";
    std::nth_element(rows.begin(), rows.begin() + rows.size() / 2, rows.end());
    const double level = 1.0 - static_cast<double>(rows[rows.size() / 2]) / chart.height();
    EXPECT_NEAR(level, 2.485 / 5.0, 0.08) << "the trace sits where Y 2.485 of 0..5 goes";

    // The readouts: lime on black in their boxes.
    for (const QRect& box : {QRect(712, 8, 145, 105), QRect(711, 128, 146, 105)}) {
        const QRect area = box.translated(o);
        EXPECT_GT(count(image, area, isLime), 200);
        EXPECT_GT(count(image, area, isBlack), area.width() * area.height() / 3);
    }

    // The status line: white for a connected adapter.
    const QRect status = QRect(728, 448, 114, 13).translated(o);
    EXPECT_GT(count(image, status, isWhite), 20);
    EXPECT_EQ(count(image, status, isRed), 0);

    // A rich mixture moves the trace down: raw 57 is Y 0.9975.
    ASSERT_TRUE(control->setRaw("adapter", 57));
    ASSERT_TRUE(readsMore(15));
    image = screenshot();
    int low = 0;
    for (int y = chart.top(); y <= chart.bottom(); ++y) {
        const double l = 1.0 - static_cast<double>(y - chart.top()) / chart.height();
        if (std::abs(l - 0.9975 / 5.0) < 0.06) {
            low += count(image, QRect(chart.left(), y, chart.width(), 1), isLime);
        }
    }
    EXPECT_GT(low, 30) << "new points at the lower level";

    // Unplugged: the status line turns red.
    ASSERT_TRUE(control->unplug("adapter"));
    ASSERT_TRUE(kornat::testing::waitFor(
        [&] {
            image = screenshot();
            return count(image, status, isRed) > 20;
        },
        30000));
    EXPECT_EQ(count(image, status, isWhite), 0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: %s EMULATED_ADAPTER PROGRAM\n", argv[0]);
        return 2;
    }
    g_tool = QString::fromLocal8Bit(argv[1]);
    g_program = QString::fromLocal8Bit(argv[2]);
    return RUN_ALL_TESTS();
}
