#include "sip/sdp.h"

#include <algorithm>

#include "platform/textutil.h"

namespace qv {

namespace {

using sv = std::string_view;

bool StartsWith(sv line, sv prefix) { return line.substr(0, prefix.size()) == prefix; }

// The payload type number at the start of an attribute value ("96 ...").
bool LeadingType(sv& rest, int& type) {
  size_t n = 0;
  while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
  if (n == 0 || n > 3 || !ParseInt(rest.substr(0, n), type) || type > 127) return false;
  rest = TrimView(rest.substr(n));
  return true;
}

bool ValidType(int type) { return type >= 0 && type <= 127; }

// The numbers our offers use (sipcallrequests.cpp): the static ones, 110
// Speex, 111 Opus, 101 and 102 telephone events at 8000 and 48000 Hz.
bool OurOfferedType(int type) {
  return type == 0 || type == 3 || type == 8 || type == 9 || type == 101 || type == kOfferedWideEventType ||
         type == 110 || type == kOfferedOpusType;
}

// RFC 3551 table 4: the static audio types we know, at 8000 Hz (G.722's
// clock included, 4.5.2).
int StaticMeaning(int type) {
  switch (type) {
    case 0:
    case 3:
    case 8:
    case 9:
      return type;
    case 13:
      return kSdpComfortNoise;
    default:
      return kSdpUnknown;
  }
}

}  // namespace

const TRtpMapLine* TSdpAudio::RtpMap(int payloadType) const {
  for (const TRtpMapLine& map : RtpMaps)
    if (map.PayloadType == payloadType) return &map;
  return nullptr;
}

int TSdpAudio::Meaning(int payloadType) const {
  if (const TRtpMapLine* map = RtpMap(payloadType)) {
    const sv name = map->Encoding;
    // Telephone events run at the clock of the audio they go with (RFC 4733
    // 2.1), whatever that is.
    if (SameTextIgnoringCase(name, "telephone-event")) return map->ClockRate > 0 ? kSdpTelephoneEvent : kSdpUnknown;
    // RFC 7587 7: always "opus/48000/2", whatever the audio inside.
    if (SameTextIgnoringCase(name, "opus"))
      return map->ClockRate == 48000 && (map->Channels == 2 || map->Channels == 1) ? 111 : kSdpUnknown;
    // Every other codec we know runs at 8000 Hz on one channel; speex/16000
    // (wideband) or a stereo PCMU is another format altogether.
    if (map->ClockRate != 8000 || map->Channels != 1) return kSdpUnknown;
    if (SameTextIgnoringCase(name, "PCMU")) return 0;
    if (SameTextIgnoringCase(name, "PCMA")) return 8;
    if (SameTextIgnoringCase(name, "GSM")) return 3;
    if (SameTextIgnoringCase(name, "G722")) return 9;
    if (SameTextIgnoringCase(name, "speex")) return 110;
    if (SameTextIgnoringCase(name, "CN")) return kSdpComfortNoise;
    return kSdpUnknown;
  }
  if (payloadType == 110) return 110;
  if (payloadType == 101) return kSdpTelephoneEvent;
  return StaticMeaning(payloadType);
}

bool TSdpAudio::SecureProfile() const { return Profile.find("SAVP") != std::string::npos; }

int TSdpAudio::TypeFor(int meaning) const {
  for (int type : PayloadTypes)
    if (Meaning(type) == meaning) return type;
  return -1;
}

int TSdpAudio::ClockRate(int payloadType) const {
  const TRtpMapLine* map = RtpMap(payloadType);
  return map && map->ClockRate > 0 ? map->ClockRate : 8000;
}

int TSdpAudio::EventTypeFor(int clockRate) const {
  for (int type : PayloadTypes)
    if (Meaning(type) == kSdpTelephoneEvent && ClockRate(type) == clockRate) return type;
  return TypeFor(kSdpTelephoneEvent);
}

std::string TSdpAudio::Format(int payloadType) const {
  for (const auto& [type, parameters] : Fmtps)
    if (type == payloadType) return parameters;
  return {};
}

void TSdpAudioReader::Line(sv line) {
  if (line.size() < 2 || line[1] != '=') return;
  if (line[0] == 'm') {
    // Only the first audio stream is ours; a second one, video or anything
    // else ends it.
    inAudio_ = !seenAudio_ && StartsWith(line, "m=audio");
    if (!inAudio_) return;
    seenAudio_ = true;
    audio_.Present = true;
    sv rest = TrimView(line.substr(7));
    size_t n = 0;
    while (n < rest.size() && n < 10 && rest[n] >= '0' && rest[n] <= '9') ++n;
    audio_.Port = ToIntDef(rest.substr(0, n), 0);
    // "<port>[/<count>] <proto> <fmt>...": the profile is the second token.
    sv proto = TrimView(rest.substr(std::min(rest.find_first_of(" \t"), rest.size())));
    proto = proto.substr(0, std::min(proto.find_first_of(" \t"), proto.size()));
    audio_.Profile = std::string(proto.substr(0, 32));
    // Payload types follow RTP/AVP and, for SRTP, RTP/SAVP (and the feedback
    // profiles, whose names start alike).
    size_t profile = rest.find("RTP/AVP");
    size_t skip = 7;
    if (profile == sv::npos) {
      profile = rest.find("RTP/SAVP");
      skip = 8;
    }
    if (profile == sv::npos) return;
    rest = rest.substr(profile + skip);
    while (!rest.empty()) {
      rest = TrimView(rest);
      size_t end = 0;
      while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') ++end;
      int type;
      if (ParseInt(rest.substr(0, end), type) && ValidType(type)) audio_.PayloadTypes.push_back(type);
      rest = rest.substr(end);
    }
    return;
  }
  if (line[0] != 'a') return;
  sv value;
  // a=ptime may also stand at session level, before any m= line.
  if (StartsWith(line, "a=ptime:") && (inAudio_ || !seenAudio_)) {
    int ms = ToIntDef(TrimView(line.substr(8)), 0);
    if (ms > 0 && (inAudio_ || audio_.Ptime == 0)) audio_.Ptime = ms;
    return;
  }
  if (!inAudio_) return;
  if (StartsWith(line, "a=rtpmap:")) {
    value = TrimView(line.substr(9));
    TRtpMapLine map;
    if (!LeadingType(value, map.PayloadType) || audio_.RtpMap(map.PayloadType)) return;
    size_t slash = value.find('/');
    if (slash == sv::npos) return;
    map.Encoding = std::string(TrimView(value.substr(0, slash)));
    sv format = value.substr(slash + 1);
    size_t second = format.find('/');
    map.ClockRate = ToIntDef(TrimView(format.substr(0, second)), 0);
    if (second != sv::npos) map.Channels = ToIntDef(TrimView(format.substr(second + 1)), 0);
    audio_.RtpMaps.push_back(std::move(map));
  } else if (StartsWith(line, "a=crypto:")) {
    // RFC 4568 9.1; a peer offers a few at most, so a flood is cut short.
    if (audio_.Cryptos.size() >= 16) return;
    value = TrimView(line.substr(9));
    TSdpCrypto crypto;
    if (!LeadingType(value, crypto.Tag)) return;  // 1 to 9 digits in the RFC; 3 suffice for us
    auto token = [&value]() {
      value = TrimView(value);
      size_t end = 0;
      while (end < value.size() && value[end] != ' ' && value[end] != '\t') ++end;
      sv taken = value.substr(0, end);
      value = TrimView(value.substr(end));
      return std::string(taken);
    };
    crypto.Suite = token();
    crypto.KeyParams = token();
    crypto.SessionParams = std::string(value);
    if (crypto.Suite.empty() || crypto.KeyParams.empty()) return;
    audio_.Cryptos.push_back(std::move(crypto));
  } else if (StartsWith(line, "a=fmtp:")) {
    value = TrimView(line.substr(7));
    int type;
    if (LeadingType(value, type)) audio_.Fmtps.emplace_back(type, std::string(value));
  }
}

std::string EncodingName(int meaning) {
  switch (meaning) {
    case 0:
      return "PCMU";
    case 8:
      return "PCMA";
    case 3:
      return "GSM";
    case 9:
      return "G722";
    case 110:
      return "speex";
    case 111:
      return "opus";
    case kSdpTelephoneEvent:
      return "telephone-event";
    default:
      return "";
  }
}

std::string RtpMapFormat(int codec) {
  const std::string name = EncodingName(codec);
  if (name.empty() || codec == kSdpTelephoneEvent) return "";
  // RFC 7587 7: Opus is always named with two channels, even for mono.
  return codec == 111 ? name + "/48000/2" : name + "/8000";
}

int CodecClockRate(int codec) { return codec == 111 ? 48000 : 8000; }

TAudioChoice ChooseAudio(const TSdpAudio& remote, const std::vector<int>& preference) {
  for (int codec : preference) {
    const int type = remote.TypeFor(codec);
    if (type >= 0) return {codec, type};
  }
  return {};
}

int SendPacketMs(int codec, int ptimeMs) {
  if (ptimeMs <= 0) return 20;
  switch (codec) {
    case 0:
    case 8:  // sample by sample: any multiple of 10 ms
      return std::clamp((ptimeMs + 5) / 10 * 10, 10, 60);
    case 3:  // whole 20 ms frames (RFC 3551 4.5.8)
      return std::clamp(ptimeMs / 20 * 20, 20, 60);
    default:
      return 20;
  }
}

TRtpPayloadMap MakePayloadMap(const TSdpAudio& remote, const TAudioChoice& choice, bool weOffered) {
  TRtpPayloadMap map;
  for (int type : remote.PayloadTypes) {
    if (!ValidType(type)) continue;
    // What we offered keeps the meaning we gave it: the answerer sends us
    // what our offer named.
    if (weOffered && OurOfferedType(type)) continue;
    const int meaning = remote.Meaning(type);
    if (meaning >= 0) {
      map.Received[size_t(type)] = int8_t(meaning);
    } else if (meaning == kSdpTelephoneEvent) {
      map.Received[size_t(type)] = TRtpPayloadMap::kEvent;
    } else {
      map.Received[size_t(type)] = TRtpPayloadMap::kDiscard;  // comfort noise, or not ours
    }
  }
  if (weOffered) {
    map.Received[110] = 110;
    map.Received[kOfferedOpusType] = 111;
    map.Received[9] = 9;
    map.Received[101] = TRtpPayloadMap::kEvent;
    map.Received[kOfferedWideEventType] = TRtpPayloadMap::kEvent;
  }
  map.SendAudioType = choice.RemoteType;
  // RFC 4733 2.1: events in the clock of the audio. A peer that names them
  // only at another clock (8000 beside Opus, as many do) still gets them
  // under the number it gave, their durations counted in its clock.
  map.SendEventType = remote.EventTypeFor(CodecClockRate(choice.Codec));
  if (map.SendEventType >= 0) map.SendEventClock = remote.ClockRate(map.SendEventType);
  map.SendPacketMs = SendPacketMs(choice.Codec, remote.Ptime);
  map.AudioRejected = remote.Present && remote.Port == 0;
  return map;
}

}  // namespace qv
