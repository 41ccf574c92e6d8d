#pragma once

// Stand-ins for the window in tests of the adapter link: they record what would be shown.

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "adapter_link.h"
#include "sampling_cycle.h"

namespace kornat::testing {

class RecordingStatus : public StatusView {
public:
    std::vector<AdapterStatus> statuses;
    QString problem;
    bool permission = false;

    void showStatus(AdapterStatus status) override { statuses.push_back(status); }
    void showClaimProblem(const QString& reason, bool permissionDenied) override {
        problem = reason;
        permission = permissionDenied;
    }
    AdapterStatus last() const {
        return statuses.empty() ? AdapterStatus::NotConnected : statuses.back();
    }
};

class RecordingView : public SampleView {
public:
    std::string lambda = "0";
    std::vector<double> ys;

    void showLambda(const QString& text) override { lambda = text.toStdString(); }
    void showAfr(const QString&) override {}
    void addTracePoint(double, double y, std::uint32_t) override { ys.push_back(y); }
    void clearTrace() override { ys.clear(); }
};

}  // namespace kornat::testing
