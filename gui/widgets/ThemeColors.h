// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QColor>
#include <QPalette>

// Colours that must stay readable on whatever face the desktop's theme
// gives a view, light or dark.

// Error text on the view's face (Base).
QColor ErrorTextColor(const QPalette& pal);
// Error text on the selection bar (Highlight).
QColor SelectedErrorTextColor(const QPalette& pal);
// Whether the palette's face is a dark one.
bool IsDarkFace(const QPalette& pal);
