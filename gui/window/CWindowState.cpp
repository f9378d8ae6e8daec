// SPDX-License-Identifier: Apache-2.0
#include "gui/window/CWindowState.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QSettings>
#include <QWidget>

#include "core/service/CSettingsFile.h"

namespace
{
const QString KEY_GEOMETRY = QStringLiteral("Window/Geometry");
const QString KEY_COLUMNS = QStringLiteral("Window/Columns");
}  // namespace

QString CWindowState::Path()
{
    const QString strOverride = qEnvironmentVariable("NIMBREL_WINDOW_STATE");
    if (!strOverride.isEmpty())
        return strOverride;
    return QFileInfo(QString::fromStdString(CSettingsFile::DefaultPath())).dir().filePath(QStringLiteral("window.ini"));
}

bool CWindowState::Restore(QWidget* pWindow, QHeaderView* pHeader)
{
    const QString strPath = Path();
    if (!QFileInfo::exists(strPath))
        return false;
    const QSettings settings(strPath, QSettings::IniFormat);
    const QByteArray geometry = settings.value(KEY_GEOMETRY).toByteArray();
    const QByteArray columns = settings.value(KEY_COLUMNS).toByteArray();
    if (geometry.isEmpty() || !pWindow->restoreGeometry(geometry))
        return false;
    // Columns saved by another version may not fit: they keep their fit.
    if (!columns.isEmpty() && pHeader != nullptr)
    {
        const QByteArray before = pHeader->saveState();
        if (!pHeader->restoreState(columns) || pHeader->count() == 0)
            pHeader->restoreState(before);
    }
    return true;
}

bool CWindowState::Save(const QWidget* pWindow, const QHeaderView* pHeader)
{
    const QString strPath = Path();
    QDir().mkpath(QFileInfo(strPath).absolutePath());
    QSettings settings(strPath, QSettings::IniFormat);
    settings.setValue(KEY_GEOMETRY, pWindow->saveGeometry());
    if (pHeader != nullptr)
        settings.setValue(KEY_COLUMNS, pHeader->saveState());
    settings.sync();
    return settings.status() == QSettings::NoError;
}
