// What the loss tests share: a lossy network made with iptables inside the
// test's own namespace, and sipp's call counts.
//
// Threads: the test thread only.
#pragma once

#include <string>

namespace qv::test {

// From now on `percent` % of the UDP datagrams to and from `port` are
// dropped at random (iptables "statistic" match). Refuses, by raising, to
// touch a firewall outside a network namespace of the test's own.
void DropAtRandom(int port, int percent);

struct TSippCounts {
  int Successful = 0;
  int Failed = 0;
};

// sipp's cumulative counts from the last line of the statistics file it
// writes with "-trace_stat -stf FILE".
TSippCounts ReadSippCounts(const std::string& statFile);

}  // namespace qv::test
