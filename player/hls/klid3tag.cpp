#include "klid3tag.h"

#include <taglib/id3v2header.h>
#include <taglib/tpropertymap.h>

namespace {

QString fromTagLib(const TagLib::String &text)
{
    return QString::fromStdString(text.to8Bit(true));
}

constexpr qsizetype headerSize = 10;

bool startsWithHeader(const QByteArray &data)
{
    return data.size() >= headerSize && data.startsWith("ID3");
}

} // namespace

KLId3Tag::KLId3Tag(const QByteArray &data)
{
    if (!startsWithHeader(data))
        return;
    header()->setData(TagLib::ByteVector(data.constData(), headerSize));
    // The size comes from the stream: read no further than the bytes at hand.
    const qsizetype size = qMin<qsizetype>(header()->tagSize(), data.size() - headerSize);
    if (size > 0)
        parse(TagLib::ByteVector(data.constData() + headerSize, uint(size)));
}

QString KLId3Tag::property(const QString &name) const
{
    const TagLib::PropertyMap map = properties();
    const TagLib::String key(name.toUtf8().constData(), TagLib::String::Latin1);
    if (!map.contains(key))
        return QString();
    return fromTagLib(map[key].toString(" "));
}

QString KLId3Tag::toString() const
{
    QString text = fromTagLib(title());
    const TagLib::PropertyMap map = properties();
    if (!map.isEmpty())
        text += QLatin1Char(' ');
    for (auto it = map.begin(); it != map.end(); ++it)
        text += fromTagLib(it->first) + QLatin1Char(':') + fromTagLib(it->second.toString(" "));
    return text;
}

qsizetype KLId3Tag::tagLength(const QByteArray &data)
{
    if (!startsWithHeader(data))
        return 0;
    TagLib::ID3v2::Header header(TagLib::ByteVector(data.constData(), headerSize));
    return qMin<qsizetype>(qsizetype(header.completeTagSize()), data.size());
}
