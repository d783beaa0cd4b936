#include "media/speexlib.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace qv {

namespace {

constexpr const char* kDefaultLibrary = "libspeex.so.1";

template <typename F>
bool Resolve(void* library, const char* name, F& entry) {
  entry = reinterpret_cast<F>(dlsym(library, name));
  return entry != nullptr;
}

bool Load(TSpeexApi& api) {
  const char* configured = std::getenv("QUORVELLE_SPEEX_LIBRARY");
  const std::string name = configured && *configured ? configured : kDefaultLibrary;
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  const bool complete = Resolve(library, "speex_bits_read_from", api.bits_read_from) &&
                        Resolve(library, "speex_decoder_init", api.decoder_init) &&
                        Resolve(library, "speex_decode", api.decode) &&
                        Resolve(library, "speex_bits_reset", api.bits_reset) &&
                        Resolve(library, "speex_encode", api.encode) &&
                        Resolve(library, "speex_bits_nbytes", api.bits_nbytes) &&
                        Resolve(library, "speex_bits_write", api.bits_write) &&
                        Resolve(library, "speex_bits_init", api.bits_init) &&
                        Resolve(library, "speex_encoder_init", api.encoder_init) &&
                        Resolve(library, "speex_lib_get_mode", api.lib_get_mode) &&
                        Resolve(library, "speex_encoder_ctl", api.encoder_ctl) &&
                        Resolve(library, "speex_decoder_ctl", api.decoder_ctl) &&
                        Resolve(library, "speex_bits_destroy", api.bits_destroy) &&
                        Resolve(library, "speex_encoder_destroy", api.encoder_destroy) &&
                        Resolve(library, "speex_decoder_destroy", api.decoder_destroy);
  if (!complete) {
    dlclose(library);
    return false;
  }
  return true;
}

}  // namespace

const TSpeexApi* SpeexApi() {
  static TSpeexApi api{};
  static const bool loaded = Load(api);
  return loaded ? &api : nullptr;
}

}  // namespace qv
