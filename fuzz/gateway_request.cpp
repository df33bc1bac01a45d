// Fuzz target: the gateway's handling of HTTP requests, end to end.
//
// A gateway server (configuration allowed, a hub that reads no stream) runs
// in this process on a free loopback port. Each input is sent as the raw
// bytes of a connection, with "@PORT@" replaced by the server's port (so
// that inputs can name an allowed Host); the first answer is read until it
// is whole, or for at most 300 ms (an event stream never ends).
// Every answer must start with an HTTP/1.1 status line; a configuration
// (POST answered 200 or 502) needs a JSON content type in the request; and
// the server must still accept connections afterwards. Memory errors in the
// gateway's own code and the HTTP library's use of it are found by the
// sanitizers.
#include "fuzz_check.h"

#include "hub.h"
#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Gateway {
    vx7::gateway::Hub hub;
    vx7::gateway::Server *server = nullptr;
    std::thread thread;
    int port = 0;

    Gateway()
    {
        vx7::gateway::ServerOptions o;
        o.host = "127.0.0.1";
        o.port = 0;
        o.allow_configure = true;
        o.home = "/nonexistent";
        o.idle_timeout = std::chrono::seconds(1);
        server = new vx7::gateway::Server(hub, o);
        std::string error;
        if (!server->bind(error))
            vx7fuzz::failed(error.c_str(), __FILE__, __LINE__);
        port = server->port();
        thread = std::thread([this] { server->run(); });
        thread.detach(); // runs until the process ends
        while (!server->running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

Gateway &gateway()
{
    static Gateway *g = new Gateway; // never destroyed: its thread serves to the end
    return *g;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Whether `answer` holds a whole response: headers, then as many bytes as
// Content-Length says, or chunks up to the last one.
bool answer_complete(const std::string &answer)
{
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    const std::string head = lower(answer.substr(0, end));
    const std::size_t length = head.find("\r\ncontent-length:");
    if (length != std::string::npos)
        return answer.size() - (end + 4) >= std::strtoull(head.c_str() + length + 17, nullptr, 10);
    if (head.find("\r\ntransfer-encoding: chunked") != std::string::npos)
        return answer.size() >= 5 && answer.compare(answer.size() - 5, 5, "0\r\n\r\n") == 0;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Gateway &g = gateway();
    std::string request(reinterpret_cast<const char *>(data), size);
    const std::string port = std::to_string(g.port);
    for (std::size_t at = request.find("@PORT@"); at != std::string::npos; at = request.find("@PORT@", at))
        request.replace(at, 6, port);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(g.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0);
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break; // the server may close early (a request it refuses)
        sent += static_cast<std::size_t>(n);
    }
    // The answer: read until it is whole (its Content-Length, or the last
    // chunk) or nothing comes for 20 ms (an unfinished request, an event
    // stream); at most 300 ms.
    std::string answer;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto since =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (since.count() >= 300 || answer_complete(answer))
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);

    if (!answer.empty()) {
        FUZZ_CHECK(answer.rfind("HTTP/1.1 ", 0) == 0 && answer.size() >= 12);
        FUZZ_CHECK(std::isdigit(static_cast<unsigned char>(answer[9])) &&
                   std::isdigit(static_cast<unsigned char>(answer[10])) &&
                   std::isdigit(static_cast<unsigned char>(answer[11])));
        const int status = std::stoi(answer.substr(9, 3));
        FUZZ_CHECK(status >= 100 && status <= 599);
        // No request may make the gateway fail on its own (500).
        FUZZ_CHECK(status != 500);
        if (request.rfind("POST ", 0) == 0 && (status == 200 || status == 502) &&
            request.find("/config") != std::string::npos)
            FUZZ_CHECK(lower(request).find("application/json") != std::string::npos);
    }
    return 0;
}
