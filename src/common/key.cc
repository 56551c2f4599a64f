#include "common/key.h"

#include <openssl/crypto.h>

namespace tavrin {

void WipeSecret(void* data, size_t size) { OPENSSL_cleanse(data, size); }

}  // namespace tavrin
