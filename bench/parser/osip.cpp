#include <osipparser2/osip_parser.h>
#include <osipparser2/sdp_message.h>

#include <cstring>

#include "peers.h"

namespace qv::bench {

void OsipInit() { parser_init(); }

namespace {

size_t Parse(const char* data, size_t size, bool sdp) {
  osip_message_t* m = nullptr;
  if (osip_message_init(&m) != 0) return 0;
  size_t result = 0;
  if (osip_message_parse(m, data, size) == 0 && m->call_id && m->call_id->number && m->cseq) {
    // osip keeps the part after "@" apart.
    result = std::strlen(m->call_id->number) + (m->call_id->host ? 1 + std::strlen(m->call_id->host) : 0);
    osip_body_t* body = nullptr;
    if (sdp && osip_message_get_body(m, 0, &body) >= 0 && body && body->body) {
      sdp_message_t* s = nullptr;
      sdp_message_init(&s);
      if (sdp_message_parse(s, body->body) != 0) result = 0;
      sdp_message_free(s);
    }
  }
  osip_message_free(m);
  return result;
}

}  // namespace

size_t OsipParse(const char* data, size_t size) { return Parse(data, size, false); }
size_t OsipParseWithSdp(const char* data, size_t size) { return Parse(data, size, true); }

}  // namespace qv::bench
