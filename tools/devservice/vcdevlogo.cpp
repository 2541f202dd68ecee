#include "vcdevlogo.h"

#include <algorithm>
#include <cmath>

QByteArray VCDevLogo::png()
{
    constexpr int size = 128;
    constexpr double cx = 64, cy = 76;
    auto coverage = [](double distanceOutside) {
        return std::clamp(0.5 - distanceOutside, 0.0, 1.0);
    };
    QByteArray raw;
    raw.reserve(size * (1 + size * 4));
    for (int y = 0; y < size; ++y) {
        raw.append('\0'); // filter type of the row: none
        for (int x = 0; x < size; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double badge = coverage(std::hypot(px - 64, py - 64) - 60);
            // Gradient from orange at the top left to plum at the bottom right.
            const double t = std::clamp((px + py) / (2.0 * size), 0.0, 1.0);
            double r = 0xE8 + t * (0x8E - 0xE8), g = 0x5D + t * (0x24 - 0x5D),
                   b = 0x2A + t * (0x5C - 0x2A);
            const double dx = px - cx, dy = py - cy, distance = std::hypot(dx, dy);
            double white = coverage(distance - 9);
            // Arcs open upwards, 45 degrees either side of straight up.
            if (dy < 0 && std::abs(dx) <= -dy) {
                for (double radius : {22.0, 36.0, 50.0})
                    white = std::max(white, coverage(std::abs(distance - radius) - 3.5));
            }
            r += (255 - r) * white;
            g += (255 - g) * white;
            b += (255 - b) * white;
            raw.append(char(std::lround(r)));
            raw.append(char(std::lround(g)));
            raw.append(char(std::lround(b)));
            raw.append(char(std::lround(255 * badge)));
        }
    }

    auto crc32 = [](const QByteArray &data) {
        quint32 crc = 0xFFFFFFFFu;
        for (char byte : data) {
            crc ^= quint8(byte);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    auto bigEndian = [](quint32 value) {
        const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
        return QByteArray(bytes, 4);
    };
    auto chunk = [&](const char *type, const QByteArray &data) {
        const QByteArray typed = QByteArray(type) + data;
        return bigEndian(quint32(data.size())) + typed + bigEndian(crc32(typed));
    };
    QByteArray header = bigEndian(size) + bigEndian(size);
    header.append(char(8)); // bits per channel
    header.append(char(6)); // RGBA
    header.append(3, '\0'); // compression, filter and interlace methods
    // qCompress gives a zlib stream after a four-byte length of its own.
    const QByteArray compressed = qCompress(raw, 9).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", compressed) +
           chunk("IEND", {});
}
