// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/ThemeColors.h"

namespace
{
bool IsDark(const QColor& color)
{
    return color.lightness() < 128;
}
}  // namespace

bool IsDarkFace(const QPalette& pal)
{
    return IsDark(pal.color(QPalette::Base));
}

QColor ErrorTextColor(const QPalette& pal)
{
    // Pure red on a light face; on a dark one pure red is too dim to read.
    return IsDarkFace(pal) ? QColor(255, 110, 110) : QColor(255, 0, 0);
}

QColor SelectedErrorTextColor(const QPalette& pal)
{
    // Yellow stands out on a dark bar, dark red on a light one.
    return IsDark(pal.color(QPalette::Highlight)) ? QColor(255, 255, 0) : QColor(128, 0, 0);
}
