#include "httprequestaddress.h"

#include "httpresponsehead.h"

namespace engine {

HttpRequestAddress HttpRequestAddress::parse(const std::string &address, size_t maxHeaderBytes)
{
    HttpRequestAddress parsed;
    size_t at = address.find("\r\n");
    parsed.url = HttpResponseHead::trimmed(address.substr(0, at));
    size_t total = 0;
    while (at != std::string::npos) {
        const size_t next = address.find("\r\n", at + 2);
        std::string line =
            address.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        at = next;
        if (line.empty())
            continue;
        if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
            line.find(':') == std::string::npos)
            continue;
        total += line.size();
        if (total > maxHeaderBytes)
            break;
        parsed.headers.push_back(std::move(line));
    }
    return parsed;
}

} // namespace engine
