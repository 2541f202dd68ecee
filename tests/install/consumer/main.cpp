// Plays the address given on the "No sound" device through the installed library and ends with 0
// once the stream is heard at a level above -40 dB, or with 1 after 30 s. Every public header is
// included, so that each compiles outside the library's tree.
#include <KelvanePlayer/klbass.h>
#include <KelvanePlayer/kldaast.h>
#include <KelvanePlayer/kldaastparser.h>
#include <KelvanePlayer/kldaastplayer.h>
#include <KelvanePlayer/klmetadataupdater.h>
#include <KelvanePlayer/klplayer.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    KLBass::outputDevice = 0;
    KLPlayer player;
    player.setIsUpdatesLevel(true);
    QObject::connect(&player, &KLPlayerSource::levelDbChanged, &app, [&](double levelDb) {
        if (player.isPlaying() && levelDb > -40) {
            std::printf("playing at %.1f dB\n", levelDb);
            app.exit(0);
        }
    });
    QTimer::singleShot(30000, &app, [&] { app.exit(1); });
    player.play(QUrl(QString::fromLocal8Bit(argv[1])));
    const int code = app.exec();
    player.stop();
    return code;
}
