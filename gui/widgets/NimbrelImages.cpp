// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/NimbrelImages.h"

#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

// Resources of a static library are registered by hand, and from the
// global namespace (the registration function's name is declared there).
static void RegisterResources()
{
    static const bool bDone = [] {
        Q_INIT_RESOURCE(nimbrel);
        return true;
    }();
    (void)bDone;
}

namespace
{

QString ImagePath(int nId)
{
    switch (nId)
    {
    case IDR_MAINFRAME: return QStringLiteral(":/res/nimbrel.svg");
    case IDI_LAMP_OK: return QStringLiteral(":/res/lamp_ok.svg");
    case IDI_LAMP_ERROR: return QStringLiteral(":/res/lamp_error.svg");
    case IDI_LAMP_IDLE: return QStringLiteral(":/res/lamp_idle.svg");
    case IDI_CHECK_ON: return QStringLiteral(":/res/check_on.svg");
    case IDI_CHECK_OFF: return QStringLiteral(":/res/check_off.svg");
    case IDB_LOGO: return QStringLiteral(":/res/logo.svg");
    default: return QString();
    }
}

}  // namespace

QPixmap NimbrelPixmap(int nId, int nWidth, int nHeight)
{
    RegisterResources();
    // GUI thread only, like all painting.
    static QHash<QString, QPixmap> s_cache;
    const QString strPath = ImagePath(nId);
    if (strPath.isEmpty())
        return QPixmap();
    const qreal dRatio = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
    const QString strKey = QStringLiteral("%1/%2x%3@%4").arg(strPath).arg(nWidth).arg(nHeight).arg(dRatio);
    auto it = s_cache.constFind(strKey);
    if (it != s_cache.constEnd())
        return *it;

    QSvgRenderer renderer(strPath);
    QPixmap pixmap(QSize(nWidth, nHeight) * dRatio);
    pixmap.setDevicePixelRatio(dRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, nWidth, nHeight));
    painter.end();
    s_cache.insert(strKey, pixmap);
    return pixmap;
}

QIcon NimbrelIcon(int nId)
{
    QIcon icon;
    for (int nSize : {16, 24, 32, 48, 64})
        icon.addPixmap(NimbrelPixmap(nId, nSize, nSize));
    return icon;
}
