#include "dialogs/md5.h"

#include <openssl/evp.h>

namespace qv {

std::string Md5Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string text(size_t(length) * 2, '0');
  for (unsigned i = 0; i < length; ++i) {
    text[2 * i] = digits[digest[i] >> 4];
    text[2 * i + 1] = digits[digest[i] & 15];
  }
  return text;
}

}  // namespace qv
