// TSipMessage: the flat parsed form of one received datagram.
//
// The parser is shallow on purpose: line oriented, prefix comparisons, plain
// substring cuts. It never rejects a message; what it cannot find stays empty.
// Every value is text, numbers included; consumers convert with a default.
// Built and freed per datagram on the transport thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp.h"
#include "sip/sipints.h"

namespace qv {

class TSipMessage {
public:
  explicit TSipMessage(std::string_view datagram);

  int PayloadTypeCount() const { return int(PayloadTypes.size()); }
  int PayloadType(int index) const { return PayloadTypes.at(size_t(index)); }
  int RecordRouteCount() const { return RecordRoutes ? int(RecordRoutes->size()) : 0; }
  std::string RecordRoute(int index) const;

  bool IsResponse() const { return !StatusCode.empty(); }

  // The Digest challenge of a 401/407 as a holder keeps it.
  TChallenge Challenge() const { return {StatusCode, AuthRealm, AuthNonce, AuthQop, AuthOpaque}; }

  // Fields in declaration order (the order the developer tool prints them).
  std::vector<int> PayloadTypes;                        // every m=audio payload type but 101
  std::optional<std::vector<std::string>> RecordRoutes;  // absent when no Record-Route header
  std::string DtmfSignal;
  std::string CallId;
  std::string RawText;
  std::string ViaHost;
  std::string RequestUser;
  std::string ToUri;
  std::string FromUri;
  std::string ViaPort;
  std::string ViaRport;
  std::string AuthNonce;
  std::string StatusCode;
  std::string AuthRealm;
  std::string AuthOpaque;
  std::string AuthQop;
  std::string CSeqMethod;
  std::string FromHeader;
  std::string ToHeader;
  std::string ViaHeaders;
  std::string ContactUri;
  std::string CSeqNumber;
  std::string FromTag;
  std::string ToTag;
  std::string SdpAddress;
  std::string SdpAudioPort;
  std::string ContactHost;
  std::string ContactPort;
  std::string ToUser;
  std::string ToHostPart;
  std::string ToHost;
  std::string FromHost;
  std::string FromUser;
  std::string RecordRouteHeaders;
  // The status code of a sipfrag body ("SIP/2.0 200 OK" in a NOTIFY of a
  // transfer). Only the start line sets StatusCode.
  std::string SipfragStatus;
  std::string Expires;                 // the Expires header
  std::string MinExpires;              // the Min-Expires header of a 423
  std::vector<std::string> Contacts;   // every Contact value as written, in order
  // The first audio stream of the SDP body with its a=rtpmap, a=fmtp and
  // a=ptime lines (PayloadTypes and SdpAudioPort above keep their old reading).
  TSdpAudio SdpAudio;
};

}  // namespace qv
