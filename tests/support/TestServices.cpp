// Finding the test web servers (Windows only).
#ifdef _WIN32
#include "TestServices.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>

namespace qov::test {

namespace {

std::string Env(const char* name)
{
    char buffer[2048];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

std::string ProgramDir()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
}

// A socket connected to the port on loopback (WSAStartup done), or
// INVALID_SOCKET.
SOCKET ConnectLoopback(int port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool Answers(int port)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    SOCKET s = ConnectLoopback(port);
    const bool ok = s != INVALID_SOCKET;
    if (ok)
        closesocket(s);
    WSACleanup();
    return ok;
}

} // namespace

std::string WinePath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string result = "Z:" + path;
    for (char& c : result)
        if (c == '/')
            c = '\\';
    return result;
}

std::string FaultServerText(const TTestServices& services, const std::string& path)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return std::string();
    std::string reply;
    SOCKET s = ConnectLoopback(services.FaultPort);
    if (s != INVALID_SOCKET) {
        // HTTP/1.0: the server closes the connection after its answer.
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
            char buffer[4096];
            int got;
            while ((got = recv(s, buffer, sizeof buffer, 0)) > 0)
                reply.append(buffer, static_cast<size_t>(got));
        }
        closesocket(s);
    }
    WSACleanup();
    const size_t body = reply.find("\r\n\r\n");
    const bool ok = reply.size() > 12 && reply.compare(0, 5, "HTTP/") == 0 && reply.compare(8, 5, " 200 ") == 0;
    return ok && body != std::string::npos ? reply.substr(body + 4) : std::string();
}

bool TestServicesRequired()
{
    return Env("QOV_REQUIRE_SERVICES") == "1";
}

bool FindTestServices(TTestServices* services)
{
    std::string http = Env("QOV_HTTP_PORT"), fault = Env("QOV_FAULT_PORT"), root = Env("QOV_HTTP_ROOT");
    if (http.empty() || fault.empty() || root.empty()) {
        std::ifstream file(ProgramDir() + "..\\..\\services\\ports.txt");
        std::string line;
        while (std::getline(file, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "http_port")
                http = value;
            else if (key == "fault_port")
                fault = value;
            else if (key == "http_root")
                root = value;
        }
    }
    if (http.empty() || fault.empty() || root.empty())
        return false;
    services->HttpPort = std::atoi(http.c_str());
    services->FaultPort = std::atoi(fault.c_str());
    services->Root = WinePath(root);
    return services->HttpPort > 0 && services->FaultPort > 0 && Answers(services->HttpPort) &&
           Answers(services->FaultPort);
}

} // namespace qov::test
#endif
