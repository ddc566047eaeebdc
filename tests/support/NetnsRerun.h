// Running part of a test program again inside the multicast test network
// namespace (scripts/netns.sh), with a Wine prefix and wineserver of its own
// there, so that multicast datagrams never leave the machine's test network.
// Windows only (under Wine).
//
//   if (!InNetworkNamespace()) {
//       TNamespaceRun run = RunSelfInNetworkNamespace("MulticastPlayback.*");
//       if (run.Code == kNamespaceUnavailable) GTEST_SKIP() << run.Log;
//       EXPECT_EQ(run.Code, 0) << run.Log;
//   }
#pragma once
#ifdef _WIN32

#include <string>

namespace qov::test {

// Exit code netns.sh reports when the namespace cannot be made (no
// CAP_NET_ADMIN).
constexpr int kNamespaceUnavailable = 125;

// True inside the namespace run (netns.sh sets QOV_NETNS).
bool InNetworkNamespace();

struct TNamespaceRun {
    int Code = -1;    // exit code of the inner run; -1 when none came
    std::string Log;  // its output
};

// Runs this program again inside the namespace with the given gtest filter
// and waits (at most timeoutMs) for it to end.
TNamespaceRun RunSelfInNetworkNamespace(const std::string& gtestFilter, unsigned long timeoutMs = 240000);

} // namespace qov::test

#endif
