#include "support/md5.h"

#include <openssl/evp.h>

#include <memory>

namespace vornel {

std::string Md5Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
        return {};
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

void PrepareMd5() {
    // A fetch leaves the implementation in the library's cache, where the digests find it.
    if (EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr)) EVP_MD_free(md);
}

}  // namespace vornel
