// Puts the test process into a network namespace of its own with only the
// loopback interface up, before any thread starts. Every address the user
// agent picks for Via and Contact is then 127.0.0.1, nothing the tests send
// can leave the machine, and the fixed SIP port 5075 of the window cannot
// collide with anything else running on the host.
#pragma once

namespace qv::test {

// true when the process now runs in its own namespace. Must be called while
// the process has a single thread (first thing in main()).
bool EnterPrivateNetwork();

}  // namespace qv::test
