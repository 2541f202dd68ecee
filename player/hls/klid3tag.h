#pragma once

#include "klplayerglobal.h"

#include <taglib/id3v2tag.h>

#include <QByteArray>
#include <QString>

// One ID3v2 tag read from bytes that begin with its 10-byte header, rendered as text for the
// stream's metadata. Bytes that are no tag give an empty one; a tag that claims more bytes than
// were given is read from what there is.
class KELVANEPLAYER_EXPORT KLId3Tag : public TagLib::ID3v2::Tag
{
public:
    explicit KLId3Tag(const QByteArray &data);

    // The values of the property name joined with " "; a null string when there is none.
    QString property(const QString &name) const;
    // The title, then when there are properties one " " and every property as KEY:values with
    // nothing between one and the next (values joined with " ").
    QString toString() const;

    // The size of the tag that data begins with, header and footer included; 0 when data does
    // not begin with a tag. Never more than data's size.
    static qsizetype tagLength(const QByteArray &data);
};
