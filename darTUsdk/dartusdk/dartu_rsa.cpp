#include "darTUsdk/dartusdk/dartu_rsa.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "darTUsdk/dartusdk/dartu_sys.h"
#include "darTUsdk/dartusdk/dartu_util.h"

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

int dartu_rsa_exptmod(dartu_rsa_key* key, int private_key, const u8* input, size_t input_length, u8* output,
                      size_t* out_length) {
    if (!key || !input || !output || !out_length) return -1;
    const size_t k = mp_ubin_size(&key->N);
    if (*out_length < k) return -1;
    mp_int c, m, m1, m2, h;
    if (mp_init_multi(&c, &m, &m1, &m2, &h, nullptr) != MP_OKAY) return -1;
    int rc = -1;
    do {
        if (mp_from_ubin(&c, input, input_length) != MP_OKAY) break;
        if (mp_cmp(&c, &key->N) != MP_LT) break;
        if (private_key) {
            // m1 = c^dP mod p, m2 = c^dQ mod q, h = (m1 - m2) qP mod p, m = m2 + h q
            if (mp_exptmod(&c, &key->dP, &key->p, &m1) != MP_OKAY) break;
            if (mp_exptmod(&c, &key->dQ, &key->q, &m2) != MP_OKAY) break;
            if (mp_sub(&m1, &m2, &h) != MP_OKAY) break;
            if (mp_mulmod(&h, &key->qP, &key->p, &h) != MP_OKAY) break;
            if (mp_mul(&h, &key->q, &m) != MP_OKAY || mp_add(&m, &m2, &m) != MP_OKAY) break;
        } else if (mp_exptmod(&c, &key->e, &key->N, &m) != MP_OKAY) {
            break;
        }
        const size_t n = mp_ubin_size(&m);
        if (n > k) break;
        std::memset(output, 0, k - n);
        size_t written = 0;
        if (mp_to_ubin(&m, output + (k - n), n, &written) != MP_OKAY || written != n) break;
        *out_length = k;
        rc = 0;
    } while (false);
    mp_clear_multi(&c, &m, &m1, &m2, &h, nullptr);
    return rc;
}

int dartu_rsa_decrypt_hex(dartu_rsa_key* key, const char* hex, char* destination, size_t capacity) {
    if (!key || !hex || !destination) return -1;
    const size_t k = mp_ubin_size(&key->N);
    std::vector<u8> cipher(k), block(k);
    size_t n = 0;
    if (dartu_util_hex_decode(hex, -1, cipher.data(), k, &n) != 0 || n == 0) return -1;
    // The whole text must be the number: trailing characters are refused.
    if (hex[2 * n] != 0) return -1;
    size_t out = k;
    if (dartu_rsa_exptmod(key, 1, cipher.data(), n, block.data(), &out) != 0) return -1;
    if (block[0] != 0x00 || (block[1] != 0x01 && block[1] != 0x02)) return -1;
    size_t sep = 2;
    while (sep < k && block[sep] != 0x00) ++sep;
    if (sep >= k) return -1;
    const size_t length = k - sep - 1;
    if (capacity < 2 || length > capacity - 2) return -1;
    std::memcpy(destination, block.data() + sep + 1, length);
    destination[length] = 0;
    return static_cast<int>(length);
}
