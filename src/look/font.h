#pragma once

// The panel's text face: Uncut Sans from the data folder's "Fonts" when it
// loads, else HelveticaNeue, else the system font. The panel, the About
// window and the video draw their text with it. Fonts are registered with
// Qt process-wide, so the face is chosen once per process; Qt offers no
// switch for the face's stylistic sets, so the default glyphs are drawn.

#include <QFont>

namespace quimbel {

// The face at `size` points, unhinted and kerned, with `letterSpacing`
// points added between letters. An image at 72 dots per inch, as the video
// frames are, measures a point as a pixel.
QFont panelFace(double size, double letterSpacing = 0.0);

}  // namespace quimbel
