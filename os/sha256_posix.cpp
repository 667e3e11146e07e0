// SHA-256 through OpenSSL's EVP interface (libcrypto).
#include "os/sha256.h"

#include <openssl/evp.h>

namespace Os {

bool sha256(const void* data, size_t size, Sha256Digest& digest) {
    unsigned int length = 0;
    return EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) == 1 &&
           length == digest.size();
}

} // namespace Os
