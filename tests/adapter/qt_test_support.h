#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

namespace kornat::testing {

// Runs the event loop until `condition` holds or `timeoutMs` has passed; returns the condition.
// The timeout only bounds a failing test; passing tests return as soon as the condition holds.
template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        // Outside exec() deferred deletions wait for an explicit flush.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

// Lets everything that is already due run, e.g. to show that nothing more happens.
inline void drainEvents(int rounds = 20) {
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
}

}  // namespace kornat::testing
