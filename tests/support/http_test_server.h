#pragma once
// A small HTTP/1.1 server for tests, in the test process: Winsock on 127.0.0.1 with a port the
// system picks, one thread accepting and one per connection, one request per connection
// ("Connection: close"). Each path answers as its TestRoute says, faults included; unknown
// paths get 404. Every request is recorded. Nothing blocks for long: sockets time out after
// 10 s, and the destructor closes every connection and joins every thread.
//
//   HttpTestServer server;
//   server.Route("/manifest.json", {manifestBytes});
//   TestRoute broken{zipBytes};
//   broken.dropAfter = 1000;
//   server.Route("/1.2.0.zip", broken);
//   ... HttpGetToMemory(server.Url("/manifest.json"), body) ...
//   EXPECT_EQ(server.Count("/1.2.0.zip", "GET"), 4);
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// How one path answers. The defaults serve the body with 200, Content-Length and
// "Accept-Ranges: bytes", and honour "Range: bytes=A-B" with 206 and Content-Range.
// HEAD gets the headers a GET would get, without the body.
struct TestRoute {
    TestRoute() = default;
    TestRoute(std::string bytes) : body(std::move(bytes)) {}  // NOLINT: a body is a route

    std::string body;
    int status = 200;                    // status of a whole-body answer (404 for an error page)
    std::string acceptRanges = "bytes";  // Accept-Ranges value; empty sends no such header
    bool contentLength = true;           // false: no Content-Length, the close ends the body
    std::string contentLengthText;       // when set, announced instead of the real length
    bool honourRange = true;             // false: a Range request gets the whole body with 200
    int64_t rangeShift = 0;              // 206 for the asked range moved by this many bytes
    int64_t dropAfter = -1;              // >= 0: close after this many body bytes
    bool dropHead = false;               // HEAD: close the connection without an answer
    enum class Gzip { Never, WhenAccepted, Always };
    Gzip gzip = Gzip::Never;             // gzip-encode the body (Content-Encoding: gzip)
    size_t dripBytes = 0;                // > 0: send the body in pieces of this size...
    unsigned dripDelayMs = 0;            // ...waiting this long before each piece
    std::vector<std::string> headers;    // extra header lines, without CR LF
};

// One request as it arrived.
struct TestRequest {
    std::string method;
    std::string path;            // request target as sent
    std::map<std::string, std::string> headers;  // names lower-cased, values trimmed
    std::string Header(const std::string& lowerName) const;
};

class HttpTestServer {
public:
    HttpTestServer();   // listening when constructed; Port() is 0 if that failed
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Adds or replaces the answer for a path; may be called while serving.
    void Route(const std::string& path, const TestRoute& route);

    uint16_t Port() const;
    // "http://127.0.0.1:PORT" + path.
    std::wstring Url(const std::string& path) const;

    // Requests for a path so far, of one method ("GET", "HEAD") or of any when empty.
    int Count(const std::string& path, const std::string& method = std::string()) const;
    std::vector<TestRequest> Requests() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// gzip-encodes bytes with zlib (what a server sends with Content-Encoding: gzip).
std::string GzipBytes(const std::string& bytes);

// A port on 127.0.0.1 where nothing listens (bound, then released).
uint16_t UnusedLoopbackPort();
