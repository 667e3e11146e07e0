// SHA-256 through Windows CNG (bcrypt.dll, part of every Windows since Vista).
#include "os/sha256.h"

#include <windows.h>

#include <algorithm>
#include <bcrypt.h>

namespace Os {

namespace {

bool hashInto(BCRYPT_HASH_HANDLE hash, const void* data, size_t size, Sha256Digest& digest) {
    // BCryptHashData takes a non-const pointer but only reads through it.
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    for (size_t done = 0; done < size;) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size - done, 1u << 30));
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, bytes + done, piece, 0))) {
            return false;
        }
        done += piece;
    }
    return BCRYPT_SUCCESS(
        BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

} // namespace

bool sha256(const void* data, size_t size, Sha256Digest& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    ok = ok && hashInto(hash, data, size, digest);
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

} // namespace Os
