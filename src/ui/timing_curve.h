#pragma once

// The panel's animation curves: cubic Béziers from (0, 0) to (1, 1) with two
// control points, as QVariantAnimation takes them.

#include <QEasingCurve>
#include <QPointF>

namespace quimbel {

inline QEasingCurve timingCurve(double x1, double y1, double x2, double y2) {
  QEasingCurve curve(QEasingCurve::BezierSpline);
  curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1.0, 1.0));
  return curve;
}

// The usual ease-out: fast start, gentle landing.
inline QEasingCurve easeOutCurve() { return timingCurve(0.0, 0.0, 0.58, 1.0); }

}  // namespace quimbel
