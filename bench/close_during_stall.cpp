// How long closing the window takes while the adapter sits on a feature read. Runs inside the
// emulated world: emulated-adapter -- close_during_stall
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <memory>

#include "control_client.h"
#include "umain.h"

namespace {

template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return condition();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    EmulatedAdapterControl control;
    if (!control.connected()) {
        std::fprintf(stderr, "run inside the emulated world: %s\n", control.error().c_str());
        return 1;
    }
    auto form = std::make_unique<kornat::ui::TMForm>();
    form->show();
    if (!waitFor([&] { return form->link().status() == kornat::AdapterStatus::Connected; })) {
        std::fprintf(stderr, "the adapter was not found\n");
        return 1;
    }
    control.stall("adapter", 60);
    if (!waitFor([&] { return form->link().readOutstanding(); })) {
        std::fprintf(stderr, "no read outstanding\n");
        return 1;
    }
    QThread::msleep(300);  // well inside the stall
    QElapsedTimer timer;
    timer.start();
    form.reset();
    std::printf("closing with a stalled read took %.1f ms\n",
                static_cast<double>(timer.nsecsElapsed()) / 1e6);
    return 0;
}
