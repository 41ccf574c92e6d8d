// How often the real program reads the adapter: runs kornat2 (offscreen) in the emulated world
// for a while and reports the rate and the spread of the intervals between feature reads.
//   read_rate EMULATED_ADAPTER KORNAT2 [SECONDS]
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "control_client.h"

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s EMULATED_ADAPTER KORNAT2 [SECONDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 3 ? std::max(2, std::atoi(argv[3])) : 10;
    QTemporaryDir dir;
    const QString socket = dir.filePath("control");
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(QString::fromLocal8Bit(argv[1]),
                  {"--signal", "idle", "--control", socket, "--", QString::fromLocal8Bit(argv[2])});
    if (!program.waitForStarted()) {
        std::fprintf(stderr, "cannot start %s\n", argv[1]);
        return 1;
    }
    std::unique_ptr<EmulatedAdapterControl> control;
    for (int i = 0; i < 300 && !(control && control->connected()); ++i) {
        if (program.state() == QProcess::NotRunning) {
            return program.exitCode();
        }
        control = std::make_unique<EmulatedAdapterControl>(socket.toStdString());
        QThread::msleep(100);
    }
    if (!control || !control->connected()) {
        std::fprintf(stderr, "no control socket\n");
        return 1;
    }
    QThread::sleep(static_cast<unsigned long>(seconds));
    const auto times = control->readTimes("adapter");
    program.terminate();
    program.waitForFinished(10000);
    if (!times || times->size() < 3) {
        std::fprintf(stderr, "too few reads\n");
        return 1;
    }
    // The first second holds start-up; measure the steady state after it.
    std::vector<std::int64_t> t(times->begin(), times->end());
    const std::int64_t from = t.front() + 1'000'000'000;
    t.erase(t.begin(), std::lower_bound(t.begin(), t.end(), from));
    std::vector<double> gaps;
    for (std::size_t i = 1; i < t.size(); ++i) {
        gaps.push_back(static_cast<double>(t[i] - t[i - 1]) / 1e6);
    }
    std::sort(gaps.begin(), gaps.end());
    const double span = static_cast<double>(t.back() - t.front()) / 1e9;
    std::printf("reads: %zu in %.2f s = %.2f Hz\n", t.size() - 1, span,
                static_cast<double>(t.size() - 1) / span);
    std::printf("interval ms: min %.1f  p50 %.1f  p99 %.1f  max %.1f\n", gaps.front(),
                gaps[gaps.size() / 2], gaps[gaps.size() * 99 / 100], gaps.back());
    return 0;
}
