#include "darTUsdk/dartusdk/dartu_rsa.h"

#include <cstdlib>
#include <vector>

#include "darTUsdk/dartusdk/dartu_sys.h"

namespace {

// Draws candidates of bytes*8 bits with the two top bits set (so that the
// product of two has exactly twice the bits) and the low bit set, until one
// is a probable prime with gcd(p - 1, e) = 1.
int MakePrime(mp_int* p, size_t bytes, const mp_int* e) {
    std::vector<u8> raw(bytes);
    mp_int pm1, g;
    if (mp_init_multi(&pm1, &g, nullptr) != MP_OKAY) return -2;
    int rc = -3;
    for (;;) {
        if (dartu_sys_get_random_data(raw.data(), bytes, 0, 0) != 0) break;
        raw[0] |= 0xC0;
        raw[bytes - 1] |= 0x01;
        if (mp_from_ubin(p, raw.data(), bytes) != MP_OKAY) break;
        mp_bool prime = MP_NO;
        if (mp_prime_is_prime(p, 8, &prime) != MP_OKAY) break;
        if (prime != MP_YES) continue;
        if (mp_sub_d(p, 1, &pm1) != MP_OKAY || mp_gcd(&pm1, e, &g) != MP_OKAY) break;
        if (mp_cmp_d(&g, 1) == MP_EQ) {
            rc = 0;
            break;
        }
    }
    mp_clear_multi(&pm1, &g, nullptr);
    return rc;
}

}  // namespace

dartu_rsa_key* dartu_rsa_alloc() {
    dartu_rsa_key* key = static_cast<dartu_rsa_key*>(std::calloc(1, sizeof(dartu_rsa_key)));
    if (!key) return nullptr;
    if (mp_init_multi(&key->e, &key->d, &key->N, &key->p, &key->q, &key->qP, &key->dP, &key->dQ, nullptr) !=
        MP_OKAY) {
        std::free(key);
        return nullptr;
    }
    return key;
}

void dartu_rsa_free(dartu_rsa_key* key) {
    if (!key) return;
    mp_clear_multi(&key->e, &key->d, &key->N, &key->p, &key->q, &key->qP, &key->dP, &key->dQ, nullptr);
    std::free(key);
}

int dartu_rsa_make_key(dartu_rsa_key* key, int bits, unsigned long e) {
    if (!key || bits < 1024 || bits > 4096) return -1;
    // An even exponent has no inverse and would make the prime search endless.
    if (e < 3 || (e & 1) == 0) return -1;
    mp_int pm1, qm1, lambda;
    if (mp_init_multi(&pm1, &qm1, &lambda, nullptr) != MP_OKAY) return -2;
    int rc = -3;
    const size_t bytes = static_cast<size_t>(bits) / 16;
    mp_set_ul(&key->e, e);
    do {
        if ((rc = MakePrime(&key->p, bytes, &key->e)) != 0) break;
        do {
            if ((rc = MakePrime(&key->q, bytes, &key->e)) != 0) break;
        } while (mp_cmp(&key->p, &key->q) == MP_EQ);
        if (rc != 0) break;
        rc = -3;
        if (mp_sub_d(&key->p, 1, &pm1) != MP_OKAY || mp_sub_d(&key->q, 1, &qm1) != MP_OKAY) break;
        if (mp_lcm(&pm1, &qm1, &lambda) != MP_OKAY) break;
        if (mp_invmod(&key->e, &lambda, &key->d) != MP_OKAY) break;
        if (mp_mul(&key->p, &key->q, &key->N) != MP_OKAY) break;
        if (mp_mod(&key->d, &pm1, &key->dP) != MP_OKAY) break;
        if (mp_mod(&key->d, &qm1, &key->dQ) != MP_OKAY) break;
        if (mp_invmod(&key->q, &key->p, &key->qP) != MP_OKAY) break;
        rc = 0;
    } while (false);
    mp_clear_multi(&pm1, &qm1, &lambda, nullptr);
    return rc;
}
