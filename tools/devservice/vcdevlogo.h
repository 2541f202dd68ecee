#pragma once

#include <QByteArray>

// The demo station's logo: a round badge with broadcast waves above a dot, 128 x 128 pixels,
// drawn with soft edges and written as a PNG image. It also serves as the cover of what plays
// and as the ad's banner.
class VCDevLogo
{
public:
    static QByteArray png();
};
