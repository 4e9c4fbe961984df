#pragma once

// QUIMBEL_TRACE=1 prints moments and places that scripts measure and click
// from outside the program: "trace <moment> <wall-clock ms>" (comparable
// across processes) and "trace widget <accessible name>|x y width height".
// Without the variable every call here does nothing.
//
// Thread contract: main thread only.

class QWidget;

namespace quimbel {

bool tracing();
// Prints "trace <moment> <ms>".
void trace(const char* moment);
// Prints where each named, visible control under `root` sits in its window,
// again whenever a control appears, moves or changes size.
void traceControls(QWidget& root);
// Prints "trace panel-painted" once the next paint of `widget` is drawn.
void traceNextPaint(QWidget& widget);

}  // namespace quimbel
