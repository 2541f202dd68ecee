#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace engine {

// A stream address as callers hand it to the engine: the address on the first line and, on the
// lines after it ("\r\n" between them), extra headers for its request.
struct HttpRequestAddress
{
    std::string url;
    // "Name: value" lines in their order. Lines without a colon, or with a stray CR, LF or NUL
    // (which would smuggle another header or request in), are dropped; so is everything from
    // the line that would take the total past maxHeaderBytes.
    std::vector<std::string> headers;

    static HttpRequestAddress parse(const std::string &address, size_t maxHeaderBytes);
};

} // namespace engine
