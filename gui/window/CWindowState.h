// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QHeaderView;
class QWidget;

// The main window's size, place and column widths between runs. They are
// kept in an ini file of their own, window.ini in the user's configuration
// directory (beside the default nimbrel.ini, whatever --config says): the
// ports' settings file is shared with nimbreld and stays free of what only
// the window cares about. $NIMBREL_WINDOW_STATE names another file, so
// that tests and the measurements never read or write the user's.
class CWindowState
{
public:
    static QString Path();
    // pWindow's geometry and pHeader's sections as last saved; false (and
    // nothing changed) when nothing was saved or it does not fit pHeader.
    static bool Restore(QWidget* pWindow, QHeaderView* pHeader);
    // False when the file cannot be written.
    static bool Save(const QWidget* pWindow, const QHeaderView* pHeader);
};
