#pragma once
// What assistive technology is told beyond Qt's own answers: a label that carries a value
// (a selected drive, a status line, the elapsed and remaining time) has the caption as
// its accessible name and its current text as its accessible description.

namespace dravonel {

// Installs the accessibility factory once per process (the wizard calls it).
void installAccessibility();

}  // namespace dravonel
