#include "tests/support/http_test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <thread>

namespace {

constexpr DWORD kSocketTimeoutMs = 10000;
constexpr size_t kMaxRequestHead = 65536;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ParseRequestHead(const std::string& head, TestRequest& request) {
    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t space1 = requestLine.find(' ');
    const size_t space2 = requestLine.find(' ', space1 + 1);
    if (space1 == std::string::npos || space2 == std::string::npos) return false;
    request.method = requestLine.substr(0, space1);
    request.path = requestLine.substr(space1 + 1, space2 - space1 - 1);
    size_t at = lineEnd + 2;
    while (at < head.size()) {
        const size_t end = head.find("\r\n", at);
        const std::string line = head.substr(at, end - at);
        at = end == std::string::npos ? head.size() : end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
    }
    return true;
}

// "bytes=A-B" (B may be missing); false for anything else.
bool ParseRange(const std::string& value, uint64_t& first, uint64_t& last, bool& hasLast) {
    if (value.compare(0, 6, "bytes=") != 0) return false;
    const size_t dash = value.find('-', 6);
    if (dash == std::string::npos || dash == 6) return false;
    try {
        first = std::stoull(value.substr(6, dash - 6));
        hasLast = dash + 1 < value.size();
        if (hasLast) last = std::stoull(value.substr(dash + 1));
    } catch (...) {
        return false;
    }
    return true;
}

const char* Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

}  // namespace

std::string TestRequest::Header(const std::string& lowerName) const {
    auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

struct HttpTestServer::State {
    SOCKET listener = INVALID_SOCKET;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;

    mutable std::mutex mutex;  // guards everything below
    std::map<std::string, TestRoute> routes;
    std::vector<TestRequest> requests;
    std::vector<std::thread> connections;

    void Accept();
    void Serve(SOCKET client);
    // Non-blocking socket I/O that gives up after kSocketTimeoutMs or when stopping.
    bool Wait(SOCKET client, bool forWriting);
    int Receive(SOCKET client, char* buffer, int size);
    bool SendAll(SOCKET client, const char* data, size_t size);
    bool SendBody(SOCKET client, const std::string& bytes, const TestRoute& route);
    // Sleeps up to ms, waking early when the server stops; false once stopping.
    bool Pause(unsigned ms);
};

bool HttpTestServer::State::Pause(unsigned ms) {
    for (unsigned waited = 0; waited < ms && !stopping; waited += 10) Sleep(10);
    return !stopping;
}

bool HttpTestServer::State::Wait(SOCKET client, bool forWriting) {
    // Polls in short slices so a stopping server never waits on a peer that went quiet.
    for (DWORD waited = 0; waited < kSocketTimeoutMs && !stopping; waited += 50) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(client, &set);
        timeval slice = {0, 50000};
        const int ready = forWriting ? select(0, nullptr, &set, nullptr, &slice)
                                     : select(0, &set, nullptr, nullptr, &slice);
        if (ready < 0) return false;
        if (ready > 0) return true;
    }
    return false;
}

int HttpTestServer::State::Receive(SOCKET client, char* buffer, int size) {
    for (;;) {
        const int received = recv(client, buffer, size, 0);
        if (received != SOCKET_ERROR) return received;
        if (WSAGetLastError() != WSAEWOULDBLOCK || !Wait(client, false)) return -1;
    }
}

bool HttpTestServer::State::SendAll(SOCKET client, const char* data, size_t size) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        const int sent = send(client, data, chunk, 0);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK || !Wait(client, true)) return false;
            continue;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool HttpTestServer::State::SendBody(SOCKET client, const std::string& bytes,
                                     const TestRoute& route) {
    size_t size = bytes.size();
    if (route.dropAfter >= 0) size = std::min<size_t>(size, static_cast<size_t>(route.dropAfter));
    if (route.dripBytes == 0) return SendAll(client, bytes.data(), size);
    for (size_t at = 0; at < size; at += route.dripBytes) {
        if (!Pause(route.dripDelayMs)) return false;
        if (!SendAll(client, bytes.data() + at, std::min(route.dripBytes, size - at))) return false;
    }
    return true;
}

void HttpTestServer::State::Serve(SOCKET client) {
    u_long nonBlocking = 1;
    ioctlsocket(client, FIONBIO, &nonBlocking);

    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
        const int received = Receive(client, buffer, sizeof(buffer));
        if (received <= 0) return;
        head.append(buffer, static_cast<size_t>(received));
    }
    TestRequest request;
    if (!ParseRequestHead(head.substr(0, head.find("\r\n\r\n") + 2), request)) return;

    TestRoute route;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(request);
        auto found = routes.find(request.path);
        if (found != routes.end()) {
            route = found->second;
            known = true;
        }
    }
    if (!known) {
        route = TestRoute{};
        route.status = 404;
        route.body = "<html><body>Not Found</body></html>";
    }
    const bool isHead = request.method == "HEAD";
    if (isHead && route.dropHead) return;

    int status = route.status;
    std::string body = route.body;
    std::vector<std::string> lines = route.headers;
    if (!route.acceptRanges.empty()) lines.push_back("Accept-Ranges: " + route.acceptRanges);

    const bool gzip = route.gzip == TestRoute::Gzip::Always ||
                      (route.gzip == TestRoute::Gzip::WhenAccepted &&
                       Lower(request.Header("accept-encoding")).find("gzip") != std::string::npos);
    uint64_t first = 0;
    uint64_t last = 0;
    bool hasLast = false;
    const std::string range = request.Header("range");
    if (gzip) {
        body = GzipBytes(body);
        lines.push_back("Content-Encoding: gzip");
    } else if (status == 200 && route.honourRange && !range.empty() &&
               ParseRange(range, first, last, hasLast)) {
        const uint64_t size = route.body.size();
        if (!hasLast || last >= size) last = size == 0 ? 0 : size - 1;
        const int64_t shift = route.rangeShift;
        if (shift != 0) {
            const int64_t maxFirst = static_cast<int64_t>(size) - 1;
            const int64_t span = static_cast<int64_t>(last - first);
            const int64_t moved = std::clamp<int64_t>(static_cast<int64_t>(first) + shift, 0,
                                                      std::max<int64_t>(maxFirst, 0));
            first = static_cast<uint64_t>(moved);
            last = std::min<uint64_t>(first + static_cast<uint64_t>(span), size - 1);
        }
        if (first >= size) {
            status = 416;
            body.clear();
            lines.push_back("Content-Range: bytes */" + std::to_string(size));
        } else {
            status = 206;
            body = route.body.substr(first, last - first + 1);
            lines.push_back("Content-Range: bytes " + std::to_string(first) + "-" +
                            std::to_string(last) + "/" + std::to_string(size));
        }
    }
    if (route.contentLength) {
        lines.push_back("Content-Length: " + (route.contentLengthText.empty()
                                                  ? std::to_string(body.size())
                                                  : route.contentLengthText));
    }
    lines.push_back("Connection: close");

    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    for (const std::string& line : lines) response += line + "\r\n";
    response += "\r\n";
    if (!SendAll(client, response.data(), response.size())) return;
    if (!isHead && !SendBody(client, body, route)) return;
    shutdown(client, SD_SEND);
    // Let the client read to the end before the socket goes away.
    while (Receive(client, buffer, sizeof(buffer)) > 0) {
    }
}

void HttpTestServer::State::Accept() {
    while (!stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval wait = {0, 50000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) {
            closesocket(client);
            break;
        }
        connections.emplace_back([this, client] {
            Serve(client);
            closesocket(client);
        });
    }
}

HttpTestServer::HttpTestServer() : state_(new State) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener);
        return;
    }
    state_->listener = listener;
    state_->port = ntohs(address.sin_port);
    state_->acceptor = std::thread([state = state_.get()] { state->Accept(); });
}

HttpTestServer::~HttpTestServer() {
    state_->stopping = true;
    if (state_->acceptor.joinable()) state_->acceptor.join();
    if (state_->listener != INVALID_SOCKET) closesocket(state_->listener);
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        connections.swap(state_->connections);
    }
    for (std::thread& connection : connections) connection.join();
    WSACleanup();
}

void HttpTestServer::Route(const std::string& path, const TestRoute& route) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->routes[path] = route;
}

uint16_t HttpTestServer::Port() const { return state_->port; }

std::wstring HttpTestServer::Url(const std::string& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(state_->port) +
           std::wstring(path.begin(), path.end());
}

int HttpTestServer::Count(const std::string& path, const std::string& method) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<int>(std::count_if(
        state_->requests.begin(), state_->requests.end(), [&](const TestRequest& request) {
            return request.path == path && (method.empty() || request.method == method);
        }));
}

std::vector<TestRequest> HttpTestServer::Requests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->requests;
}

std::string GzipBytes(const std::string& bytes) {
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

uint16_t UnusedLoopbackPort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    WSACleanup();
    return ntohs(address.sin_port);
}
