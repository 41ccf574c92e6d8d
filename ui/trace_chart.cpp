#include "trace_chart.h"

#include <qcustomplot.h>

#include <cmath>

namespace kornat::ui {

namespace {

// The left axis line sits 1 % of the plot's width left of the plot.
constexpr double kLeftAxisOutsidePercent = 1.0;

}  // namespace

QCPGraph* setUpTraceChart(QCustomPlot* chart, const QColor& windowColour) {
    chart->setBackground(Qt::black);
    chart->axisRect()->setBackground(Qt::black);
    chart->legend->setVisible(false);
    chart->setNoAntialiasingOnDrag(true);

    QFont labels(QStringLiteral("Arial"));
    labels.setPixelSize(11);
    labels.setWeight(QFont::Normal);
    for (QCPAxis* axis : {chart->xAxis, chart->yAxis, chart->yAxis2}) {
        axis->setTickLabelFont(labels);
        axis->setTickLabelColor(Qt::white);
    }

    QCPAxis* left = chart->yAxis;
    left->setTickLengthOut(0);
    left->setSubTicks(false);
    QPen inner = left->tickPen();
    inner.setStyle(Qt::DashDotLine);
    left->setTickPen(inner);

    // The right axis is only a line in the window colour, closing the plot on that side.
    QCPAxis* right = chart->yAxis2;
    right->setVisible(true);
    right->setTicks(false);
    right->setTickLabels(false);
    right->setBasePen(QPen(windowColour));

    chart->connect(chart, &QCustomPlot::afterLayout, chart, [chart] {
        const int offset = static_cast<int>(
            std::lround(chart->axisRect()->width() * kLeftAxisOutsidePercent / 100.0));
        if (chart->yAxis->offset() != offset) {
            chart->yAxis->setOffset(offset);
        }
    });

    QCPGraph* series = chart->addGraph(chart->xAxis, chart->yAxis);
    series->setName(QStringLiteral("Series1"));
    series->setLineStyle(QCPGraph::lsLine);
    series->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
    series->setPen(QPen(QColor(0x00FF00)));
    series->setAdaptiveSampling(false);
    // A crisp one-pixel lime line; smoothing would blend it into dim green on black.
    series->setAntialiased(false);
    return series;
}

void fixTraceAxes(QCustomPlot* chart) {
    chart->yAxis->setRange(kTraceYMin, kTraceYMax);
    chart->xAxis->setRange(kTraceXMin, kTraceXMax);
}

}  // namespace kornat::ui
