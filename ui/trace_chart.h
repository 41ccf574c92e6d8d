#pragma once

#include <QColor>
#include <cstdint>

class QCustomPlot;
class QCPGraph;

namespace kornat::ui {

inline constexpr double kTraceYMin = 0.0;
inline constexpr double kTraceYMax = 5.0;
inline constexpr double kTraceXMin = 0.0;
inline constexpr double kTraceXMax = 10.0;

// Gives the chart its fixed look (black, flat, no title or legend, white Arial axis labels) and
// returns its one line series. `windowColour` is the system window colour for the right axis line.
QCPGraph* setUpTraceChart(QCustomPlot* chart, const QColor& windowColour);

// Fixes both axes for the whole run: 0 to 5 up, 0 to 10 across; nothing rescales them later.
void fixTraceAxes(QCustomPlot* chart);

}  // namespace kornat::ui
