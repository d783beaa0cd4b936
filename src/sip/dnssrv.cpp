#include "sip/dnssrv.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "sip/iputils.h"

namespace qv {

namespace {

std::mutex overrideLock;
std::string overrideHost;
int overridePort = 0;

bool IsDottedIpv4(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// One query through a resolver of our own, with short waits: the system's
// defaults (5 s, twice per server) would keep a user waiting for long.
int Query(const std::string& name, int type, unsigned char* answer, int capacity) {
  NoteNameLookup();
  struct __res_state state {};
  if (res_ninit(&state) != 0) return -1;
  state.retrans = 1;
  state.retry = 2;
  {
    std::lock_guard<std::mutex> guard(overrideLock);
    if (!overrideHost.empty()) {
      sockaddr_in server{};
      server.sin_family = AF_INET;
      server.sin_port = htons(uint16_t(overridePort));
      inet_pton(AF_INET, overrideHost.c_str(), &server.sin_addr);
      state.nscount = 1;
      state.nsaddr_list[0] = server;
    }
  }
  int length = res_nquery(&state, name.c_str(), ns_c_in, type, answer, capacity);
  res_nclose(&state);
  return length;
}

std::string AddressRecord(const std::string& name) {
  unsigned char answer[NS_PACKETSZ * 2];
  int length = Query(name, ns_t_a, answer, sizeof answer);
  if (length > 0) {
    ns_msg message;
    if (ns_initparse(answer, length, &message) == 0) {
      for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
        ns_rr record;
        if (ns_parserr(&message, ns_s_an, i, &record) != 0) break;
        if (ns_rr_type(record) != ns_t_a || ns_rr_rdlen(record) != 4) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, ns_rr_rdata(record), text, sizeof text);
        return text;
      }
    }
  }
  return ResolveSipHostOrEmpty(name);  // /etc/hosts and the system's own way
}

struct TResult {
  bool ok = false;
  std::string address;
  int port = 0;
};

TResult Resolve(const std::string& name, bool portGiven, int port, const std::string& service) {
  TResult result;
  if (!portGiven) {
    unsigned char answer[NS_PACKETSZ * 4];
    int length = Query(service + "." + name, ns_t_srv, answer, sizeof answer);
    if (length > 0) {
      for (const TSrvRecord& record : ParseSrvAnswer(answer, length)) {
        // RFC 2782: a target of "." says the service is not offered there.
        if (record.Target.empty() || record.Target == ".") break;
        std::string address = IsDottedIpv4(record.Target) ? record.Target : AddressRecord(record.Target);
        if (address.empty()) continue;
        return {true, address, record.Port};
      }
    }
  }
  std::string address = ResolveSipHostOrEmpty(name);
  if (address.empty()) address = AddressRecord(name);
  if (!address.empty()) result = {true, address, port};
  return result;
}

}  // namespace

std::vector<TSrvRecord> ParseSrvAnswer(const unsigned char* answer, int length) {
  std::vector<TSrvRecord> records;
  ns_msg message;
  if (length <= 0 || ns_initparse(answer, length, &message) != 0) return records;
  for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) != 0) break;
    if (ns_rr_type(record) != ns_t_srv || ns_rr_rdlen(record) < 7) continue;
    const unsigned char* data = ns_rr_rdata(record);
    TSrvRecord srv;
    srv.Priority = ns_get16(data);
    srv.Weight = ns_get16(data + 2);
    srv.Port = ns_get16(data + 4);
    char target[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, target, sizeof target) < 0) continue;
    srv.Target = target[0] ? target : ".";
    records.push_back(srv);
  }
  std::stable_sort(records.begin(), records.end(), [](const TSrvRecord& a, const TSrvRecord& b) {
    return a.Priority != b.Priority ? a.Priority < b.Priority : a.Weight > b.Weight;
  });
  return records;
}

std::string SrvService(TSipTransport transport) {
  switch (transport) {
    case TSipTransport::Tcp:
      return "_sip._tcp";
    case TSipTransport::Tls:
      return "_sips._tcp";
    default:
      return "_sip._udp";
  }
}

bool ResolveSipServer(const std::string& name, bool portGiven, std::string& address, int& port, int timeoutMs,
                      const std::string& service) {
  if (name.empty()) return false;
  if (IsDottedIpv4(name)) {
    address = name;
    return true;
  }
  if (IsIpv6Address(name)) {
    address = BareHost(name);
    return true;
  }
  // The lookup runs on a thread of its own, so that the bound holds even
  // when the system's resolver takes longer; a late answer is let go.
  auto task = std::make_shared<std::packaged_task<TResult()>>([name, portGiven, port, service] {
    return Resolve(name, portGiven, port, service);
  });
  std::future<TResult> future = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) return false;
  TResult result = future.get();
  if (!result.ok) return false;
  address = result.address;
  port = result.port;
  return true;
}

void SetDnsServerForTests(const std::string& host, int port) {
  std::lock_guard<std::mutex> guard(overrideLock);
  overrideHost = host;
  overridePort = port;
}

}  // namespace qv
