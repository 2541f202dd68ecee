#pragma once

#include "vcdevhttprequest.h"

// Takes complete HTTP/1.x requests off the front of a connection's input buffer. Request heads
// and bodies are bounded; a request that breaks a bound or the syntax ends in an error status
// that the caller answers before closing the connection.
class VCDevHttpParser
{
public:
    enum Result {
        NeedMore, // the buffer holds no complete request yet
        Complete, // *request is filled and its bytes are removed from the buffer
        Failed,   // the request is refused with *status (400, 413, 431, 501, 505)
    };

    static constexpr qsizetype defaultMaxHeadBytes = 64 * 1024;
    static constexpr qsizetype defaultMaxBodyBytes = 1024 * 1024;
    static constexpr int maxHeaderCount = 100;

    explicit VCDevHttpParser(qsizetype maxBodyBytes = defaultMaxBodyBytes,
                             qsizetype maxHeadBytes = defaultMaxHeadBytes);

    Result parse(QByteArray &buffer, VCDevHttpRequest *request, int *status) const;

    qsizetype maxBodyBytes() const { return m_maxBodyBytes; }
    qsizetype maxHeadBytes() const { return m_maxHeadBytes; }

private:
    qsizetype m_maxBodyBytes;
    qsizetype m_maxHeadBytes;
};
