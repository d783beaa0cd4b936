#include <sofia-sip/msg.h>
#include <sofia-sip/sdp.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_protos.h>
#include <sofia-sip/su_alloc.h>

#include <cstring>

#include "peers.h"

namespace qv::bench {

namespace {

size_t Parse(const char* data, size_t size, bool sdp) {
  msg_t* msg = msg_make(sip_default_mclass(), 0, data, isize_t(size));
  if (!msg) return 0;
  sip_t* sip = sip_object(msg);
  size_t result = 0;
  if (sip && !sip->sip_error && !msg_has_error(msg) && msg_is_complete(msg) &&
      (sip->sip_request || sip->sip_status) && sip->sip_call_id && sip->sip_cseq) {
    result = std::strlen(sip->sip_call_id->i_id);
    if (sdp && sip->sip_payload && sip->sip_payload->pl_len) {
      su_home_t* home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
      sdp_parser_t* p = sdp_parse(home, sip->sip_payload->pl_data, issize_t(sip->sip_payload->pl_len), 0);
      if (!sdp_session(p)) result = 0;
      sdp_parser_free(p);
      su_home_unref(home);
    }
  }
  msg_destroy(msg);
  return result;
}

}  // namespace

size_t SofiaParse(const char* data, size_t size) { return Parse(data, size, false); }
size_t SofiaParseWithSdp(const char* data, size_t size) { return Parse(data, size, true); }

}  // namespace qv::bench
