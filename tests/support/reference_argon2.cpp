#include "support/reference_argon2.h"

#include <argon2.h>

#include <stdexcept>

std::vector<std::uint8_t> reference_argon2(const Argon2Case& c, const std::string& password) {
    std::vector<std::uint8_t> out(c.outLen);
    std::string pwd = password, salt = c.salt, secret = c.secret, ad = c.ad;  // argon2_ctx may wipe inputs
    argon2_context ctx{};
    ctx.out = out.data();
    ctx.outlen = static_cast<std::uint32_t>(out.size());
    ctx.pwd = reinterpret_cast<std::uint8_t*>(pwd.data());
    ctx.pwdlen = static_cast<std::uint32_t>(pwd.size());
    ctx.salt = reinterpret_cast<std::uint8_t*>(salt.data());
    ctx.saltlen = static_cast<std::uint32_t>(salt.size());
    ctx.secret = secret.empty() ? nullptr : reinterpret_cast<std::uint8_t*>(secret.data());
    ctx.secretlen = static_cast<std::uint32_t>(secret.size());
    ctx.ad = ad.empty() ? nullptr : reinterpret_cast<std::uint8_t*>(ad.data());
    ctx.adlen = static_cast<std::uint32_t>(ad.size());
    ctx.t_cost = c.passes;
    ctx.m_cost = c.memoryKiB;
    ctx.lanes = c.lanes;
    ctx.threads = 1;
    ctx.version = c.version;
    ctx.flags = ARGON2_DEFAULT_FLAGS;
    int rc = argon2_ctx(&ctx, static_cast<argon2_type>(c.type));
    if (rc != ARGON2_OK) throw std::runtime_error(std::string("libargon2: ") + argon2_error_message(rc));
    return out;
}
