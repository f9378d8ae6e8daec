// SPDX-License-Identifier: Apache-2.0
// Renders the program's SVG icon as a square PNG for the icon theme:
//   nimbrel_render_icon IN.svg OUT.png SIZE
// Built and run at build time; it links Qt's SVG module, which the program
// needs anyway.

#include <cstdio>
#include <cstdlib>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fputs("usage: nimbrel_render_icon IN.svg OUT.png SIZE\n", stderr);
        return 2;
    }
    // No display is needed to paint into an image.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int nSize = std::atoi(argv[3]);
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid() || nSize <= 0)
    {
        std::fprintf(stderr, "nimbrel_render_icon: cannot render %s at %s\n", argv[1], argv[3]);
        return 1;
    }
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG"))
    {
        std::fprintf(stderr, "nimbrel_render_icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
