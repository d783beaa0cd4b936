// The Speex library, loaded at run time and never linked: when it is missing
// the program runs without payload type 110.
//
// The library is looked up once per process, on first use, from any thread.
// Its name is "libspeex.so.1"; the environment variable
// QUORVELLE_SPEEX_LIBRARY, when set and not empty, replaces it with another
// name or a path (a name that does not exist makes Speex absent). A library
// that lacks one of the fifteen entry points counts as absent too, rather
// than leaving a null entry point to be called later.
#pragma once

#include <speex/speex.h>
#include <speex/speex_bits.h>

namespace qv {

struct TSpeexApi {
  decltype(&::speex_bits_read_from) bits_read_from;
  decltype(&::speex_decoder_init) decoder_init;
  decltype(&::speex_decode) decode;
  decltype(&::speex_bits_reset) bits_reset;
  decltype(&::speex_encode) encode;
  decltype(&::speex_bits_nbytes) bits_nbytes;
  decltype(&::speex_bits_write) bits_write;
  decltype(&::speex_bits_init) bits_init;
  decltype(&::speex_encoder_init) encoder_init;
  decltype(&::speex_lib_get_mode) lib_get_mode;
  decltype(&::speex_encoder_ctl) encoder_ctl;
  decltype(&::speex_decoder_ctl) decoder_ctl;
  decltype(&::speex_bits_destroy) bits_destroy;
  decltype(&::speex_encoder_destroy) encoder_destroy;
  decltype(&::speex_decoder_destroy) decoder_destroy;
};

// The resolved entry points, or nullptr when the library is absent. The
// library stays loaded until the process ends, so codecs that outlive
// everything else never call into unmapped code.
const TSpeexApi* SpeexApi();

}  // namespace qv
