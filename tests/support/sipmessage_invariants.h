// What holds for the TSipMessage of any input, however broken. Shared by the
// unit tests (RFC 4475, PROTOS) and the fuzz target, which includes it by path.
// Returns an empty string when everything holds, else the first broken rule.
#pragma once

#include <string>
#include <string_view>

#include "sip/sipmessage.h"

namespace qv::testing {

inline std::string CheckSipMessageInvariants(const TSipMessage& m, std::string_view input) {
  if (m.RawText != input) return "RawText differs from the datagram";
  auto digits = [](const std::string& s) {
    for (char c : s)
      if (c < '0' || c > '9') return false;
    return true;
  };
  auto oneLine = [](const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; };
  // Every value is cut out of one line of the datagram: it is found in the
  // text, and it holds no line end.
  const struct {
    const char* name;
    const std::string& value;
  } cut[] = {
      {"DtmfSignal", m.DtmfSignal}, {"CallId", m.CallId},         {"ViaHost", m.ViaHost},
      {"RequestUser", m.RequestUser}, {"ToUri", m.ToUri},       {"FromUri", m.FromUri},
      {"ViaRport", m.ViaRport},     {"AuthNonce", m.AuthNonce},   {"AuthRealm", m.AuthRealm},
      {"AuthOpaque", m.AuthOpaque}, {"AuthQop", m.AuthQop},       {"CSeqMethod", m.CSeqMethod},
      {"FromHeader", m.FromHeader}, {"ToHeader", m.ToHeader},     {"ContactUri", m.ContactUri},
      {"CSeqNumber", m.CSeqNumber}, {"FromTag", m.FromTag},       {"ToTag", m.ToTag},
      {"SdpAddress", m.SdpAddress}, {"SdpAudioPort", m.SdpAudioPort}, {"ContactHost", m.ContactHost},
      {"ContactPort", m.ContactPort}, {"ToUser", m.ToUser},     {"ToHostPart", m.ToHostPart},
      {"ToHost", m.ToHost},         {"FromHost", m.FromHost},     {"FromUser", m.FromUser},
      {"SipfragStatus", m.SipfragStatus}, {"Expires", m.Expires}, {"MinExpires", m.MinExpires},
  };
  for (const auto& f : cut) {
    if (!oneLine(f.value)) return std::string(f.name) + " holds a line end";
    if (input.find(f.value) == std::string_view::npos) return std::string(f.name) + " is not in the datagram";
  }
  if (!oneLine(m.ViaPort) || (m.ViaPort != "5060" && input.find(m.ViaPort) == std::string_view::npos))
    return "ViaPort is neither 5060 nor cut from the datagram";
  if (m.StatusCode.find_first_of("\r\n") != std::string::npos) return "StatusCode holds a line end";
  for (const std::string& contact : m.Contacts)
    if (!oneLine(contact) || input.find(contact) == std::string_view::npos) return "a Contact value is not cut from one line";
  if (m.CallId.size() > 100) return "CallId longer than 100";
  if (m.FromTag.size() > 100 || m.ToTag.size() > 100) return "tag longer than 100";
  if (m.ContactPort.size() > 15) return "ContactPort longer than 15";
  if (m.SdpAddress.size() > 20) return "SdpAddress longer than 20";
  if (m.SdpAudioPort.size() > 10 || !digits(m.SdpAudioPort)) return "SdpAudioPort not up to 10 digits";
  if (!digits(m.ViaRport)) return "ViaRport not digits";
  if (!m.ViaHeaders.empty() && m.ViaHeaders.substr(m.ViaHeaders.size() - 2) != "\r\n")
    return "ViaHeaders does not end in CR LF";
  // RecordRouteHeaders is exactly one line per route, in order.
  std::string rebuilt;
  for (int i = 0; i < m.RecordRouteCount(); ++i) {
    std::string route = m.RecordRoute(i);
    if (route.empty() || route.find(',') != std::string::npos || !oneLine(route)) return "bad Record-Route entry";
    rebuilt += "Record-Route: " + route + "\r\n";
  }
  if (rebuilt != m.RecordRouteHeaders) return "RecordRouteHeaders does not match RecordRoutes";
  if (!m.RecordRoutes && !m.RecordRoute(0).empty()) return "RecordRoute(0) of an absent list is not empty";
  return {};
}

}  // namespace qv::testing
