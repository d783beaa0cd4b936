// SDP offers and INFO bodies as a hostile peer may write them: read through
// the message parser (as the transport hands them over) and straight into the
// SDP reader, then every question the call set-up asks of the result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sip/sdp.h"
#include "sip/sipmessage.h"

namespace {

void Ask(const qv::TSdpAudio& audio) {
  for (int pt : audio.PayloadTypes) {
    (void)audio.Meaning(pt);
    (void)audio.RtpMap(pt);
  }
  for (int meaning : {0, 8, 3, 110, qv::kSdpTelephoneEvent, qv::kSdpComfortNoise}) {
    int type = audio.TypeFor(meaning);
    if (type >= 0 && audio.Meaning(type) != meaning) std::abort();
  }
  qv::TAudioChoice choice = qv::ChooseAudio(audio, {0, 8, 3, 110});
  if (choice.Codec >= 0 && audio.Meaning(choice.RemoteType) != choice.Codec) std::abort();
  int ms = qv::SendPacketMs(choice.Codec < 0 ? 0 : choice.Codec, audio.Ptime);
  if (ms < 10 || ms > 60) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);

  qv::TSdpAudio audio;
  qv::TSdpAudioReader reader(audio);
  size_t from = 0;
  while (from <= body.size()) {
    size_t end = body.find('\n', from);
    std::string_view line = body.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    reader.Line(line);
    if (end == std::string_view::npos) break;
    from = end + 1;
  }
  Ask(audio);

  for (const char* head : {"INVITE sip:bob@127.0.0.1 SIP/2.0\r\nContent-Type: application/sdp\r\n",
                           "INFO sip:bob@127.0.0.1 SIP/2.0\r\nContent-Type: application/dtmf-relay\r\n"}) {
    std::string text = std::string(head) + "Content-Length: " + std::to_string(size) + "\r\n\r\n";
    text.append(body);
    qv::TSipMessage m(text);
    if (m.DtmfSignal.size() > text.size()) std::abort();
    Ask(m.SdpAudio);
  }
  return 0;
}
