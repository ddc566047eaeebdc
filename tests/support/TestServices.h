// The web servers the HTTP tests talk to (started by scripts/services.sh):
// nginx serving a folder of recordings, and the fault server
// (tests/peers/fault_server.py) serving the same folder with chosen
// misbehaviours under /404/, /full/, /short/, /stall/, /drop/, /silent/ and
// /ok/, and paced at a chosen rate under /rate/<bytes per second>/.
//
// Found through the environment (QOV_HTTP_PORT, QOV_FAULT_PORT, QOV_HTTP_ROOT)
// or the file services\ports.txt two folders above the test program
// (build/services/ports.txt for build/<dir>/bin/test.exe).
#pragma once
#ifdef _WIN32

#include <string>

namespace qov::test {

struct TTestServices {
    int HttpPort = 0;
    int FaultPort = 0;
    std::string Root;  // the served folder, as a Windows path (Z:\...)
};

// True when both servers are described and answer on their ports.
bool FindTestServices(TTestServices* services);
// The body of a plain GET of path (e.g. "/_paced/x.qov") from the fault
// server; empty when it cannot be reached or does not answer 200.
std::string FaultServerText(const TTestServices& services, const std::string& path);
// Whether a run requires the services (QOV_REQUIRE_SERVICES=1): then tests
// fail instead of skipping when they are missing.
bool TestServicesRequired();

// A Unix path as Wine's drive Z: shows it ("/a/b" -> "Z:\a\b"); other paths
// are returned unchanged.
std::string WinePath(const std::string& path);

} // namespace qov::test

// Skips the test (or fails it, when the services are required) without them.
#define QOV_NEED_SERVICES(services)                                                       \
    do {                                                                                 \
        if (!::qov::test::FindTestServices(&(services))) {                               \
            if (::qov::test::TestServicesRequired())                                     \
                FAIL() << "test web servers not reachable (scripts/services.sh start)"; \
            else                                                                         \
                GTEST_SKIP() << "test web servers not running (scripts/services.sh start)"; \
        }                                                                                \
    } while (0)

#endif
