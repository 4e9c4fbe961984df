#pragma once

// The panel's text face: Uncut Sans from the data folder's "Fonts", else
// HelveticaNeue, else the system font, at a size in points. The panel, the
// About window and the video draw their text with it.

#include <QFont>

namespace quimbel {

// `tabularDigits` asks for figures of one width (the tempo key, times).
QFont panelFont(double points, bool tabularDigits = false);

}  // namespace quimbel
