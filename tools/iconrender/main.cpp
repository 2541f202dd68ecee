// Renders the program's SVG logo as the PNG sizes of the icon theme.
//   vc-iconrender SVG OUTDIR SIZE...   writes OUTDIR/SIZExSIZE.png for every size
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() < 4) {
        err << "usage: vc-iconrender SVG OUTDIR SIZE...\n";
        return 2;
    }
    QSvgRenderer renderer(args.at(1));
    if (!renderer.isValid()) {
        err << "vc-iconrender: cannot read " << args.at(1) << '\n';
        return 1;
    }
    const QDir outDir(args.at(2));
    if (!outDir.mkpath(QStringLiteral("."))) {
        err << "vc-iconrender: cannot create " << args.at(2) << '\n';
        return 1;
    }
    for (const QString &sizeText : args.mid(3)) {
        bool ok = false;
        const int size = sizeText.toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            err << "vc-iconrender: bad size " << sizeText << '\n';
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        const QString file = outDir.filePath(QStringLiteral("%1x%1.png").arg(size));
        if (!image.save(file)) {
            err << "vc-iconrender: cannot write " << file << '\n';
            return 1;
        }
    }
    return 0;
}
